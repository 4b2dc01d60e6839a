// Applies mutated ensemble patches to a fixed old file (a Mach-O fixture).
// The first input byte selects the form: even - the input is the whole
// patch file, given to ApplyPatchFiles; odd - the input is the decoded
// body, wrapped into a patch with a correct header (so mutations reach the
// element descriptions, corrections and encoded programs).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "bytereader.h"
#include "bytewriter.h"
#include "crc.h"
#include "ensembleapplier.h"
#include "fuzzlimits.h"
#include "lzma2rawblock.h"
#include "mappedfile.h"

namespace {

// The build names the fixture folder by its absolute path: __FILE__ may be
// relative to the build folder (compiler caches rewrite it), and the fuzzer
// runs from anywhere.
const std::string& OldFile() {
  static const std::string data = [] {
    std::ifstream in(std::string(VX_FUZZ_FIXTURE_DIR) + "/macho64_exe_v1", std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    if (s.str().empty()) std::abort();
    return s.str();
  }();
  return data;
}

std::string ScratchPath(const char* name) {
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  return dir + "/ensemble_fuzz_" + std::to_string(getpid()) + "_" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string old_path = [] {
    const std::string path = ScratchPath("old");
    voxpatch::WriteBufferToFile(path.c_str(), OldFile().data(), OldFile().size());
    return path;
  }();
  static const std::string patch_path = ScratchPath("patch");
  static const std::string new_path = ScratchPath("new");
  if (size == 0) return 0;
  const bool wrap = (data[0] & 1) != 0;
  ++data;
  --size;

  const std::string& old_file = OldFile();
  if (wrap) {
    voxpatch::ByteWriter patch;
    patch.PutVarint(voxpatch::kEnsembleMagic);
    patch.PutVarint(voxpatch::kEnsembleVersion);
    patch.PutVarint(voxpatch::ComputeCrc(old_file.data(), old_file.size()));
    patch.PutVarint(0);
    patch.PutVarint(static_cast<uint32_t>(old_file.size() * 2));
    voxpatch_fuzz::AppendRawLzma2Block(data, size, &patch);
    voxpatch::EnsembleApplier applier(reinterpret_cast<const uint8_t*>(old_file.data()),
                                      old_file.size());
    const voxpatch::OutputBudget budget(voxpatch_fuzz::kOutputLimit);
    applier.SetBudget(budget);
    voxpatch::ByteReader stream(patch.Buffer(), patch.Length());
    voxpatch::ByteWriter output;
    output.SetLimit(budget.output());
    applier.Apply(&stream, &output);
  } else {
    if (voxpatch::WriteBufferToFile(patch_path.c_str(), data, size) != size) return 0;
    voxpatch::ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str(),
                              voxpatch_fuzz::kOutputLimit);
    std::remove(new_path.c_str());
  }
  return 0;
}
