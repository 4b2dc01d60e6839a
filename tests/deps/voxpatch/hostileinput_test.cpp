// Hostile containers and patches, each rebuilt here from a small seed, given
// to the limited entries the updater calls: each must fail with its entry's
// usual failure, within a small memory budget, without touching the output.

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "childprocess.h"
#include "compressedfile.h"
#include "ensembleapplier.h"
#include "ensemblepatchbuilder.h"
#include "executablekind.h"
#include "hostileinputs.h"
#include "logcapture.h"
#include "programtesthelpers.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

// What any of the cases may add to the resident peak of a process.
constexpr long kMemoryBudgetKiB = 64 * 1024;

class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/hostileXXXXXX";
    path_ = mkdtemp(&pattern[0]) != nullptr ? pattern : std::string();
  }
  ~TempFolder() {
    for (const std::string& f : files_) ::unlink(f.c_str());
    ::rmdir(path_.c_str());
  }
  std::string Write(const std::string& name, const std::string& data) {
    const std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary | std::ios::trunc) << data;
    files_.push_back(file);
    return file;
  }
  static std::string Read(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
  }
  // Every name in the folder (a temporary file left behind shows here).
  size_t Entries() const {
    size_t n = 0;
    if (DIR* dir = opendir(path_.c_str())) {
      while (const dirent* entry = readdir(dir)) n += entry->d_name[0] != '.' || entry->d_name[1] > '.';
      closedir(dir);
    }
    return n;
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

}  // namespace

TEST(HostileInput, ContainersFailWithinTheirBudget) {
  const std::vector<HostileContainer> cases = HostileContainers();
  TempFolder folder;
  for (const HostileContainer& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string input = folder.Write("container", c.container);
    const std::string output = folder.Write("output", "keep");
    const size_t entries = folder.Entries();
    const ChildOutcome child = RunInChild([&] {
      LogCapture capture;
      const bool ok =
          DecompressLzmaFile(input.c_str(), output.c_str(), c.limit, c.allow_executable_aware);
      const auto lines = capture.lines();
      // 0: failed with the expected first line, 1: succeeded, 2: other line.
      if (ok) return 1;
      return !lines.empty() && lines.front().message == c.first_message ? 0 : 2;
    });
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(0, child.result);
    EXPECT_LT(child.peak_growth_kib, kMemoryBudgetKiB);
    EXPECT_EQ("keep", TempFolder::Read(output));
    EXPECT_EQ(entries, folder.Entries());
  }
}

TEST(HostileInput, EnsemblePatchesFailWithinTheirBudget) {
  const std::string old_file = ReadFixture("macho64_exe_v1");
  const std::string new_file = ReadFixture("macho64_exe_v2");
  const std::vector<HostilePatch> cases = HostilePatches(old_file, new_file);
  TempFolder folder;
  const std::string old_path = folder.Write("old", old_file);
  for (const HostilePatch& c : cases) {
    SCOPED_TRACE(c.label);
    const std::string patch_path = folder.Write("patch", c.patch);
    const std::string new_path = folder.Write("new", "keep");
    const size_t entries = folder.Entries();
    const ChildOutcome child = RunInChild([&] {
      return ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str(),
                             kHostilePatchLimit);
    });
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(c.expected_status, child.result);
    EXPECT_LT(child.peak_growth_kib, kMemoryBudgetKiB);
    EXPECT_EQ("keep", TempFolder::Read(new_path));
    EXPECT_EQ(entries, folder.Entries());
  }
}

TEST(HostileInput, ElfSectionsOverTheSameBytesFailWithinTheBudget) {
  // 20000 PROGBITS and 20000 relocation sections over 1 MiB each: a walk
  // reading each where the table lists it would read 40,000 MiB.
  const std::string old_file = OverlappingElfSectionsImage(20000, 1, 1u << 20);
  TempFolder folder;
  const std::string old_path = folder.Write("old", old_file);
  const std::string patch_path = folder.Write(
      "patch", SerializeEnsemblePatch(WholeFileElementPatch(old_file, EXE_ELF_32_X86)));
  const std::string new_path = folder.Write("new", "keep");
  const ChildOutcome child = RunInChild([&] {
    return ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str(),
                           kHostilePatchLimit);
  });
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(C_DISASSEMBLY_FAILED, child.result);
  EXPECT_LT(child.peak_growth_kib, kMemoryBudgetKiB);
  EXPECT_EQ("keep", TempFolder::Read(new_path));
}
