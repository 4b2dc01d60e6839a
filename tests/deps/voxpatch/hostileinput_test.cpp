// Hostile containers and patches, each rebuilt here from a small seed, given
// to the limited entries the updater calls: each must fail with its entry's
// usual failure, within a small memory budget, without touching the output.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "bytewriter.h"
#include "childprocess.h"
#include "compressedfile.h"
#include "crc.h"
#include "ensembleapplier.h"
#include "ensemblepatchbuilder.h"
#include "executablekind.h"
#include "logcapture.h"
#include "lzmaioout.h"
#include "programtesthelpers.h"
#include "streambundlewriter.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

// What any of the cases may add to the resident peak of a process.
constexpr long kMemoryBudgetKiB = 64 * 1024;

std::string Str(const ByteWriter& w) {
  return std::string(reinterpret_cast<const char*>(w.Buffer()), w.Length());
}

std::string Varint(uint32_t v) {
  ByteWriter w;
  w.PutVarint(v);
  return Str(w);
}

// An LZMA2 block header claiming `declared` bytes, followed by a few bytes
// of chunk data: enough for a reader that trusts the size to start
// decoding, never enough to finish.
std::string ClaimingBlock(uint32_t declared) {
  return std::string(1, '\x1C') + Varint(declared) + std::string("\xE0\xFF\xFF\x00\x10\x5D", 6);
}

std::string Block(const std::string& data) {
  ByteWriter w;
  EXPECT_TRUE(WriteLzma2Block(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &w));
  return Str(w);
}

std::string Container(uint32_t checksum, uint32_t directive, const std::string& block) {
  return Varint(kContainerMagic) + Varint(checksum) + Varint(directive) + block;
}

// A directive-2 body holding one encoded program of `ops` absolute-address
// references (each op one byte, each index one byte) and an empty diff.
std::string AbsoluteReferenceBody(uint32_t ops) {
  StreamBundleWriter program;
  program.stream(0)->PutVarint(0);  // image base
  program.stream(0)->PutVarint(0);  // no origins
  program.stream(1)->PutVarint(ops);
  program.stream(3)->PutVarint(ops);
  const std::string fours(ops, '\x04'), zeros(ops, '\0');
  program.stream(1)->Write(fours.data(), fours.size());
  program.stream(3)->Write(zeros.data(), zeros.size());
  for (size_t s : {2, 4, 6, 7}) program.stream(s)->PutVarint(0);
  program.stream(5)->PutVarint(1);  // one absolute label at 0
  program.stream(5)->PutVarint(0);
  ByteWriter program_bytes;
  EXPECT_TRUE(program.SerializeTo(&program_bytes));
  return StreamSetBytes({Str(program_bytes), DiffBytes("", "")});
}

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
    for (const std::string& f : files_) n += ::access(f.c_str(), F_OK) == 0 ? 1 : 0;
    return n;
  }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

struct HostileContainer {
  const char* label;
  std::string container;
  uint64_t limit;
  bool allow_executable_aware;
  const char* first_message;  // the first line logged
};

}  // namespace

TEST(HostileInput, ContainersFailWithinTheirBudget) {
  const std::string text(3000, 't');
  const uint32_t text_crc = ComputeCrc(text.data(), text.size());
  const std::vector<HostileContainer> cases = {
      {"plain, 1 GiB", Container(text_crc, 1, ClaimingBlock(1u << 30)), 1u << 20, true,
       "LZMA2 block larger than allowed"},
      {"plain, 4 GiB, wrong checksum", Container(text_crc ^ 1, 1, ClaimingBlock(0xFFFFFFFFu)),
       1u << 20, true, "LZMA2 block larger than allowed"},
      {"product list of 256 MiB", Container(text_crc, 1, ClaimingBlock(256u << 20)), 64u << 20,
       false, "LZMA2 block larger than allowed"},
      {"product list with directive 2", Container(text_crc, 2, Block(text)), 64u << 20, false,
       "executable-aware container not allowed here"},
      {"directive-2 body past its budget", Container(text_crc, 2, ClaimingBlock(200u << 20)),
       1u << 20, true, "LZMA2 block larger than allowed"},
      {"program tables past their budget", Container(text_crc, 2, Block(AbsoluteReferenceBody(4000000))),
       1u << 20, true, "could not read encoded program"},
      {"program assembling past its budget",
       Container(text_crc, 2, Block(AbsoluteReferenceBody(2500000))), 1u << 20, true,
       "could not assemble program"},
  };
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

namespace {

struct HostilePatch {
  const char* label;
  std::function<void(EnsemblePatchParts*)> mutate;
  PatchStatus expected;
};

}  // namespace

TEST(HostileInput, EnsemblePatchesFailWithinTheirBudget) {
  const std::string old_file = ReadFixture("macho64_exe_v1");
  const std::string new_file = ReadFixture("macho64_exe_v2");
  const uint32_t length = static_cast<uint32_t>(old_file.size());
  // A diff body (method 0) declaring `size` new bytes, with a few parts.
  auto claiming_diff = [](uint32_t size) {
    return std::string(1, '\0') + Varint(size) + Varint(3) + Varint(0) + Varint(0) +
           Varint(0) + Varint(0) + Varint(0);
  };
  const std::vector<HostilePatch> cases = {
      {"final correction writing 1 GiB",
       [&](EnsemblePatchParts* p) { p->streams[3] = claiming_diff(1u << 30); }, C_GENERAL_ERROR},
      {"element correction writing 1 GiB",
       [&](EnsemblePatchParts* p) { p->streams[2] = claiming_diff(1u << 30); }, C_GENERAL_ERROR},
      {"old file named as an element 20,000 times",
       [&](EnsemblePatchParts* p) {
         const std::vector<uint32_t> kinds(20000, EXE_MACHO_X64);
         const std::vector<std::pair<uint32_t, uint32_t>> ranges(20000, {0, length});
         p->streams[0] = ElementDescriptions(20000, kinds, ranges);
         p->streams[1] = DiffBytes(PredictionBytes(20000), PredictionBytes(20000));
       },
       C_BAD_TRANSFORM},
      {"body stream past its budget",
       [&](EnsemblePatchParts* p) { p->streams.push_back(std::string(12u << 20, '\0')); },
       C_STREAM_ERROR},
  };
  TempFolder folder;
  const std::string old_path = folder.Write("old", old_file);
  for (const HostilePatch& c : cases) {
    SCOPED_TRACE(c.label);
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file, {{EXE_MACHO_X64, 0, length, 0,
                                                          static_cast<uint32_t>(new_file.size())}},
                                  &parts));
    c.mutate(&parts);
    const std::string patch_path = folder.Write("patch", SerializeEnsemblePatch(parts));
    const std::string new_path = folder.Write("new", "keep");
    const size_t entries = folder.Entries();
    const ChildOutcome child = RunInChild([&] {
      return ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str(), 1u << 20);
    });
    ASSERT_TRUE(child.finished);
    EXPECT_EQ(c.expected, child.result);
    EXPECT_LT(child.peak_growth_kib, kMemoryBudgetKiB);
    EXPECT_EQ("keep", TempFolder::Read(new_path));
    EXPECT_EQ(entries, folder.Entries());
  }
}
