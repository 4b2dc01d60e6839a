// Executable-aware (directive 2) compressed-file containers: writing real
// fixtures, fat-file slicing, and reading malformed bodies.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bytereader.h"
#include "bytewriter.h"
#include "compressedfile.h"
#include "crc.h"
#include "ensemblepatchbuilder.h"
#include "logcapture.h"
#include "lzmaioout.h"
#include "peelftesthelpers.h"
#include "programtesthelpers.h"
#include "streambundlereader.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

uint32_t BigEndianAt(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = v << 8 | static_cast<uint8_t>(s[at + i]);
  return v;
}

void PutBigEndian(std::string* s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*s)[at + i] = static_cast<char>(v >> (24 - 8 * i));
}

struct Header {
  uint32_t magic = 0, checksum = 0, directive = 0;
  size_t streams = 0;  // streams of a directive-2 body
};

Header ReadContainer(const std::string& container) {
  Header h;
  ByteReader in(reinterpret_cast<const uint8_t*>(container.data()), container.size());
  EXPECT_TRUE(in.GetVarint(&h.magic) && in.GetVarint(&h.checksum) && in.GetVarint(&h.directive));
  if (h.directive == 2) {
    ByteWriter body;
    EXPECT_TRUE(ReadLzma2Block(&in, &body));
    StreamBundleReader set;
    EXPECT_TRUE(set.Parse(body.Buffer(), body.Length()));
    h.streams = set.count();
  }
  return h;
}

// A container with directive 2 whose body is the given set of streams.
std::string Directive2(const std::vector<std::string>& streams, uint32_t checksum) {
  ByteWriter out;
  out.PutVarint(132781929);
  out.PutVarint(checksum);
  out.PutVarint(2);
  const std::string body = StreamSetBytes(streams);
  WriteLzma2Block(reinterpret_cast<const uint8_t*>(body.data()), body.size(), &out);
  return std::string(reinterpret_cast<const char*>(out.Buffer()), out.Length());
}

class ExecutableContainerTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) { return dir_.filePath(name).toStdString(); }

  // Compresses data executable-aware, checks the round trip, returns the container.
  std::string Compress(const std::string& data) {
    WriteFile(Path("in"), data);
    EXPECT_TRUE(CompressLzmaFile(Path("in").c_str(), Path("packed").c_str(), true));
    EXPECT_TRUE(DecompressLzmaFile(Path("packed").c_str(), Path("out").c_str()));
    EXPECT_TRUE(ReadFile(Path("out")) == data);
    return ReadFile(Path("packed"));
  }

  // Unpacks a container; the output must not appear on failure.
  bool Decompress(const std::string& container) {
    WriteFile(Path("packed"), container);
    std::remove(Path("out").c_str());
    const bool ok = DecompressLzmaFile(Path("packed").c_str(), Path("out").c_str());
    std::ifstream out(Path("out"));
    EXPECT_EQ(ok, out.good());
    return ok;
  }

  QTemporaryDir dir_;
};

}  // namespace

TEST_F(ExecutableContainerTest, ThinFixturesTravelAsEncodedPrograms) {
  struct Case {
    const char* name;
    const char* detected;
  };
  const Case cases[] = {
      {"macho64_exe_v1", "detected MACHO_X64"},   {"macho64_dylib_v2", "detected MACHO_X64"},
      {"macho64_bundle_v1", "detected MACHO_X64"}, {"macho32_exe_v2", "detected MACHO_X86"},
      {"macho32_dylib_v1", "detected MACHO_X86"},  {"macho32_bundle_v2", "detected MACHO_X86"},
      {"macho64_dataonly", "detected MACHO_X64"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    const std::string data = ReadFixture(c.name);
    ASSERT_FALSE(data.empty());
    const Header h = ReadContainer(Compress(data));
    EXPECT_EQ(132781929u, h.magic);
    EXPECT_EQ(ComputeCrc(data.data(), data.size()), h.checksum);
    EXPECT_EQ(2u, h.directive) << c.name;
    EXPECT_EQ(2u, h.streams) << c.name;
    EXPECT_TRUE(log.contains(c.detected)) << c.name;
    EXPECT_FALSE(log.contains("falling back to default compression")) << c.name;
  }
}

TEST_F(ExecutableContainerTest, ElfSectionTablesOutOfFileOrderTravelAsEncodedPrograms) {
  // Written here, and made by hand with the diff from the bytes the file
  // walk emits (elf_walks.txt), as any writer following the walk makes it.
  // The separate debug files' walks emit more than four bytes per byte.
  for (const auto& walk : ElfWalkBytes()) {
    if (walk.first.find("_passover_") != std::string::npos) continue;
    const std::string data = ReadFixture(walk.first);
    const Header h = ReadContainer(Compress(data));
    EXPECT_EQ(2u, h.directive) << walk.first;
    EXPECT_EQ(2u, h.streams) << walk.first;

    std::string rebuilt, program;
    ASSERT_EQ(C_OK, RoundTrip(data, &rebuilt, nullptr, &program)) << walk.first;
    const std::string container =
        Directive2({program, DiffBytes(walk.second, data)}, ComputeCrc(data.data(), data.size()));
    ASSERT_TRUE(Decompress(container)) << walk.first;
    EXPECT_TRUE(ReadFile(Path("out")) == data) << walk.first;
  }
}

TEST_F(ExecutableContainerTest, FatFileIsSlicedIntoItsExecutables) {
  LogCapture log;
  const std::string fat = ReadFixture("macho_fat_v2");
  const Header h = ReadContainer(Compress(fat));
  EXPECT_EQ(2u, h.directive);
  EXPECT_EQ(3u, h.streams);  // two programs and the diff
  EXPECT_TRUE(log.contains("detected MACHO_X64"));
  EXPECT_TRUE(log.contains("detected MACHO_X86"));
}

TEST_F(ExecutableContainerTest, FatFilesThatAreNotSlicedArePlain) {
  const std::string fat = ReadFixture("macho_fat_v1");
  ASSERT_GE(fat.size(), 4096u);
  struct Case {
    const char* label;
    std::string data;
  };
  std::vector<Case> cases;
  {
    std::string nine = fat;  // nine architecture records
    PutBigEndian(&nine, 4, 9);
    cases.push_back({"nine_records", nine});
  }
  {
    // The slice end wraps in 32 bits: offset 0xFFFFF000, size 0x2000.
    std::string wrap = fat;
    PutBigEndian(&wrap, 8 + 8, 0xFFFFF000u);
    PutBigEndian(&wrap, 8 + 12, 0x2000u);
    cases.push_back({"slice_end_wraps", wrap});
  }
  {
    std::string past = fat;  // the second slice ends one byte past the file
    PutBigEndian(&past, 8 + 20 + 12, static_cast<uint32_t>(fat.size()) + 1 -
                                         BigEndianAt(fat, 8 + 20 + 8));
    cases.push_back({"slice_past_end", past});
  }
  {
    std::string overlap = fat;  // the second slice starts inside the first
    PutBigEndian(&overlap, 8 + 20 + 8, BigEndianAt(fat, 8 + 8) + 16);
    PutBigEndian(&overlap, 8 + 20 + 12, 64);
    cases.push_back({"slices_overlap", overlap});
  }
  {
    std::string none = fat;  // neither slice is an executable
    none[BigEndianAt(fat, 8 + 8)] ^= 1;
    none[BigEndianAt(fat, 8 + 20 + 8)] ^= 1;
    cases.push_back({"no_slice_recognised", none});
  }
  cases.push_back({"short_fat", fat.substr(0, 4095)});
  for (const Case& c : cases) {
    LogCapture log;
    const Header h = ReadContainer(Compress(c.data));
    EXPECT_EQ(1u, h.directive) << c.label;
    EXPECT_FALSE(log.contains("falling back to default compression")) << c.label;
  }
}

TEST_F(ExecutableContainerTest, OtherFilesArePlainWithoutFallback) {
  LogCapture log;
  const Header h = ReadContainer(Compress(std::string(5000, 'x') + "not an executable"));
  EXPECT_EQ(1u, h.directive);
  EXPECT_FALSE(log.contains("falling back to default compression"));
}

TEST_F(ExecutableContainerTest, MalformedBodiesFailWithTheirMessage) {
  const std::string exe = ReadFixture("macho64_exe_v1");
  const uint32_t crc = ComputeCrc(exe.data(), exe.size());
  // A correct body, to take apart.
  WriteFile(Path("in"), exe);
  ASSERT_TRUE(CompressLzmaFile(Path("in").c_str(), Path("packed").c_str(), true));
  const std::string good = ReadFile(Path("packed"));
  ByteReader in(reinterpret_cast<const uint8_t*>(good.data()), good.size());
  uint32_t v = 0;
  ASSERT_TRUE(in.GetVarint(&v) && in.GetVarint(&v) && in.GetVarint(&v));
  ByteWriter body;
  ASSERT_TRUE(ReadLzma2Block(&in, &body));
  StreamBundleReader set;
  ASSERT_TRUE(set.Parse(body.Buffer(), body.Length()));
  ASSERT_EQ(2u, set.count());
  const std::string program(reinterpret_cast<const char*>(set.stream(0)->Position()),
                            set.stream(0)->BytesLeft());
  const std::string diff(reinterpret_cast<const char*>(set.stream(1)->Position()),
                         set.stream(1)->BytesLeft());
  ASSERT_TRUE(Decompress(Directive2({program, diff}, crc)));

  // An encoded program whose ops stop before its copy bytes are used.
  const std::string zero(1, '\0');
  const std::string unassemblable = StreamSetBytes(
      {zero + zero, "\x01\x02", "\x02\x41\x42", zero, zero, zero, zero, zero});
  const std::string unreadable =
      StreamSetBytes({zero + zero, zero, zero, zero, zero, zero, zero, zero, "x"});

  struct Case {
    const char* label;
    std::string container;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"one_stream", Directive2({diff}, crc), "dis_and_diff too small"},
      {"program_not_a_set", Directive2({"junk", diff}, crc), "could not init program_source set"},
      {"program_unreadable", Directive2({unreadable, diff}, crc), "could not read encoded program"},
      {"program_unassemblable", Directive2({unassemblable, diff}, crc), "could not assemble program"},
      {"bad_diff", Directive2({program, "\x05"}, crc), "could not apply diff"},
      {"wrong_checksum", Directive2({program, diff}, crc ^ 1), "crc mismatch"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    EXPECT_FALSE(Decompress(c.container)) << c.label;
    EXPECT_TRUE(log.contains(c.message)) << c.label << ": " << (log.messages().empty() ? "" : log.messages().back());
  }
}
