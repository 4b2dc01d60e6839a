// Unpacks one container, as the updater does, in a process of its own that
// links the patch engine only: the codec benchmark times it against xz.
//   voxpatch_unpack <container> <output> <max output size>
#include <cstdlib>

#include "compressedfile.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  return DecompressLzmaFile(argv[1], argv[2], std::strtoull(argv[3], nullptr, 10), false) ? 0 : 1;
}
