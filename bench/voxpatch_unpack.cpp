// Unpacks one container, as the updater does, in a process of its own that
// links the patch engine only: the codec benchmark times it against xz, the
// patch benchmarks against applying a patch.  Prints its own peak resident
// size (KiB) on standard output.
//   voxpatch_unpack <container> <output> <max output size>
#include <cstdio>
#include <cstdlib>

#include "../tests/deps/voxpatch/procstatus.h"
#include "compressedfile.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const bool ok = DecompressLzmaFile(argv[1], argv[2], std::strtoull(argv[3], nullptr, 10), false);
  std::printf("%ld\n", voxpatch_test::ProcStatusKiB("VmHWM:"));
  return ok ? 0 : 1;
}
