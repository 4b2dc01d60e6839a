// Ensemble patch application end to end: patches made by the test builder
// from the fixtures, and hand-made patches for every reachable status.

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "allocationprobe.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "crc.h"
#include "elfimagebuilder.h"
#include "ensembleapplier.h"
#include "ensemblepatchbuilder.h"
#include "executablekind.h"
#include "patchstatus.h"
#include "peelftesthelpers.h"
#include "programtesthelpers.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/ensembleXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    path_ = mkdtemp(buffer.data());
  }
  ~TempDir() {
    for (const char* f : {"old", "patch", "new"}) ::unlink((path_ + "/" + f).c_str());
    ::rmdir((path_ + "/new.d").c_str());
    ::rmdir(path_.c_str());
  }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream data;
  data << in.rdbuf();
  return data.str();
}

struct Outcome {
  PatchStatus status;
  bool written;
  std::string output;
};

// Without a limit the plain entry is used, with one the limited entry.
Outcome Apply(const std::string& old_file, const std::string& patch,
              uint64_t limit = UINT64_MAX) {
  TempDir dir;
  WriteFile(dir.File("old"), old_file);
  WriteFile(dir.File("patch"), patch);
  Outcome o;
  o.status = limit == UINT64_MAX
                 ? ApplyPatchFiles(dir.File("old").c_str(), dir.File("patch").c_str(),
                                   dir.File("new").c_str())
                 : ApplyPatchFiles(dir.File("old").c_str(), dir.File("patch").c_str(),
                                   dir.File("new").c_str(), limit);
  o.written = Exists(dir.File("new"));
  if (o.written) o.output = ReadFile(dir.File("new"));
  return o;
}

std::string RandomBytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

ElementSpec WholeFile(uint32_t kind, const std::string& old_file, const std::string& new_file) {
  return {kind, 0, static_cast<uint32_t>(old_file.size()), 0,
          static_cast<uint32_t>(new_file.size())};
}

uint32_t BigEndian32(const std::string& s, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(s[at])) << 24 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 1])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 2])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3]));
}

// The slices of a fat file as (offset, size) pairs.
std::vector<std::pair<uint32_t, uint32_t>> FatSlices(const std::string& fat) {
  std::vector<std::pair<uint32_t, uint32_t>> slices;
  const uint32_t count = BigEndian32(fat, 4);
  for (uint32_t i = 0; i < count; ++i) {
    slices.emplace_back(BigEndian32(fat, 8 + 20 * i + 8), BigEndian32(fat, 8 + 20 * i + 12));
  }
  return slices;
}

}  // namespace

// --- Patches that apply ----------------------------------------------------------

TEST(EnsemblePatch, WithoutElements) {
  const std::string base = RandomBytes(20000, 1);
  struct Case {
    const char* label;
    std::string old_file, new_file;
  };
  std::string inserted = base;
  inserted.insert(5000, "inserted text");
  std::string changed = base;
  changed[100] ^= 0x55;
  const std::vector<Case> cases = {
      {"identical", base, base},
      {"insert", base, inserted},
      {"change", base, changed},
      {"shorter", base, base.substr(3000, 9000)},
      {"unrelated", base, RandomBytes(1000, 2)},
      {"to_empty", base, ""},
  };
  for (const Case& c : cases) {
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(c.old_file, c.new_file, {}, &parts)) << c.label;
    const Outcome o = Apply(c.old_file, SerializeEnsemblePatch(parts));
    EXPECT_EQ(C_OK, o.status) << c.label;
    EXPECT_TRUE(o.written) << c.label;
    EXPECT_TRUE(o.output == c.new_file) << c.label;
  }
}

TEST(EnsemblePatch, ElementsWithIdentityCorrections) {
  // The element is unchanged (only bytes past its detected end differ), so
  // the element correction is the identity.
  const std::string old_file = ReadFixture("macho64_exe_v1");
  std::string new_file = old_file;
  new_file[new_file.size() - 3] ^= 0x7F;
  std::string old_t, new_t;
  ASSERT_TRUE(TransformedBytes(old_file, {{0, old_file.size()}}, &old_t));
  ASSERT_TRUE(TransformedBytes(new_file, {{0, new_file.size()}}, &new_t));
  ASSERT_TRUE(old_t == new_t);

  for (const std::string& target : {old_file, new_file}) {
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(old_file, target, {WholeFile(EXE_MACHO_X64, old_file, target)},
                                  &parts));
    EXPECT_TRUE(parts.streams[2] == DiffBytes(old_t, old_t));
    const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts));
    EXPECT_EQ(C_OK, o.status);
    EXPECT_TRUE(o.output == target);
  }
}

struct VersionCase {
  const char* name;  // fixture name without the _vN suffix
  uint32_t kind;     // kind written into the patch
};

class EnsembleVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(EnsembleVersionTest, CorrectsElementFromOldToNewVersion) {
  const VersionCase& c = GetParam();
  const std::string old_file = ReadFixture(std::string(c.name) + "_v1");
  const std::string new_file = ReadFixture(std::string(c.name) + "_v2");
  ASSERT_FALSE(old_file.empty());
  ASSERT_NE(old_file, new_file);

  // The element is also placed inside surrounding data.
  for (const std::string& pad : {std::string(), std::string("prefix data ") + RandomBytes(77, 3)}) {
    const std::string old_whole = pad + old_file + "old tail";
    const std::string new_whole = pad + new_file + "new tail, longer";
    const ElementSpec element = {c.kind, static_cast<uint32_t>(pad.size()),
                                 static_cast<uint32_t>(old_file.size()),
                                 static_cast<uint32_t>(pad.size()),
                                 static_cast<uint32_t>(new_file.size())};
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(old_whole, new_whole, {element}, &parts));
    const Outcome o = Apply(old_whole, SerializeEnsemblePatch(parts));
    ASSERT_EQ(C_OK, o.status) << c.name;
    EXPECT_TRUE(o.output == new_whole) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, EnsembleVersionTest,
    ::testing::Values(VersionCase{"macho64_exe", EXE_MACHO_X64},
                      VersionCase{"macho64_dylib", EXE_MACHO_X64},
                      VersionCase{"macho64_bundle", EXE_WIN_32_X86},  // any kind 1..7 will do
                      VersionCase{"macho32_exe", EXE_MACHO_X86},
                      VersionCase{"macho32_dylib", EXE_ELF_32_ARM},
                      VersionCase{"macho32_bundle", EXE_ELF_64_X64}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });

TEST(EnsemblePatch, ElfSectionTablesOutOfFileOrderPatchAsTheirWalkRebuildsThem) {
  // The final correction is made from the bytes the file walk emits for the
  // target (elf_walks.txt), as any patch maker following the walk makes it;
  // the element correction from the engine's own encodings.
  const std::map<std::string, std::string> walks = ElfWalkBytes();
  const std::pair<const char*, uint32_t> cases[] = {{"elf32_lld_pie_shuffled", EXE_ELF_32_X86},
                                                    {"elf64_lld_pie_shuffled", EXE_ELF_64_X64},
                                                    {"arm_lld_pie_shuffled", EXE_ELF_32_ARM},
                                                    {"elf64_gcc_debug", EXE_ELF_64_X64},
                                                    {"elf64_gcc_debug_shuffled", EXE_ELF_64_X64}};
  for (const auto& c : cases) {
    const std::string v1 = std::string(c.first) + "_v1", v2 = std::string(c.first) + "_v2";
    const std::string old_file = ReadFixture(v1);
    ASSERT_FALSE(old_file.empty()) << v1;
    // From version 1 to version 2, and the identity patch.
    for (const std::string& target : {v2, v1}) {
      const std::string new_file = ReadFixture(target);
      EnsemblePatchParts parts;
      ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file, {WholeFile(c.second, old_file, new_file)},
                                    &parts))
          << target;
      const std::string final_input = old_file + walks.at(target);
      parts.prediction = static_cast<uint32_t>(final_input.size());
      parts.streams[3] = DiffBytes(final_input, new_file);
      // Also limited to the new file's size, as the updater applies them.
      for (uint64_t limit : {uint64_t(UINT64_MAX), uint64_t(new_file.size())}) {
        const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts), limit);
        EXPECT_EQ(C_OK, o.status) << v1 << " to " << target << " limit " << limit;
        EXPECT_TRUE(o.output == new_file) << v1 << " to " << target << " limit " << limit;
      }
    }
  }
}

TEST(EnsemblePatchStatus, ElementWithAbsoluteLocationBehindTheWalkGives25) {
  for (const auto& c : {std::make_pair("elf32_lld_pie_passover_v1", EXE_ELF_32_X86),
                        std::make_pair("arm_lld_pie_passover_v1", EXE_ELF_32_ARM)}) {
    const std::string old_file = ReadFixture(c.first);
    ASSERT_FALSE(old_file.empty()) << c.first;
    const EnsemblePatchParts parts = WholeFileElementPatch(old_file, c.second);
    const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts));
    EXPECT_EQ(C_DISASSEMBLY_FAILED, o.status) << c.first;
    EXPECT_FALSE(o.written) << c.first;
  }
}

TEST(EnsemblePatch, FatFileWithTwoElements) {
  const std::string old_file = ReadFixture("macho_fat_v1");
  const std::string new_file = ReadFixture("macho_fat_v2");
  const auto old_slices = FatSlices(old_file);
  const auto new_slices = FatSlices(new_file);
  ASSERT_EQ(2u, old_slices.size());
  ASSERT_EQ(2u, new_slices.size());
  std::vector<ElementSpec> elements;
  for (size_t i = 0; i < 2; ++i) {
    elements.push_back({EXE_MACHO_X64, old_slices[i].first, old_slices[i].second,
                        new_slices[i].first, new_slices[i].second});
  }
  EnsemblePatchParts parts;
  ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file, elements, &parts));
  const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts));
  ASSERT_EQ(C_OK, o.status);
  EXPECT_TRUE(o.output == new_file);
}

TEST(EnsemblePatch, StreamsAfterTheFourthAreDecodedAndIgnored) {
  const std::string old_file = ReadFixture("macho64_dylib_v1");
  const std::string new_file = ReadFixture("macho64_dylib_v2");
  EnsemblePatchParts parts;
  ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file,
                                {WholeFile(EXE_MACHO_X64, old_file, new_file)}, &parts));
  parts.streams.push_back(RandomBytes(5000, 12));
  parts.streams.push_back("");
  const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts));
  EXPECT_EQ(C_OK, o.status);
  EXPECT_TRUE(o.output == new_file);
}

TEST(EnsemblePatch, BodyIsDecodedOnceWhateverItsSize) {
  // The rest of the body behind the first two streams goes to a file from
  // 4 MiB on and stays in memory below; either way, and without a folder
  // for the file, the decoder starts once.  A zero-filled fifth stream
  // brings the rest to each size.
  const std::string old_file = ReadFixture("macho64_dylib_v1");
  const std::string new_file = ReadFixture("macho64_dylib_v2");
  EnsemblePatchParts base;
  ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file,
                                {WholeFile(EXE_MACHO_X64, old_file, new_file)}, &base));
  const size_t corrections = base.streams[2].size() + base.streams[3].size();
  const size_t kSpill = 4u << 20;
  TempDir dir;
  const std::string folder = dir.File("");
  for (const auto& c : std::vector<std::pair<size_t, bool>>{
           {corrections, true}, {kSpill - 1, true}, {kSpill, true}, {kSpill + 1, true},
           {kSpill - (64u << 10), true}, {kSpill - 1, false}, {kSpill + 1, false}}) {
    EnsemblePatchParts parts = base;
    parts.streams.push_back(std::string(c.first - corrections, '\0'));
    const std::string patch = SerializeEnsemblePatch(parts);
    EnsembleApplier applier(reinterpret_cast<const uint8_t*>(old_file.data()), old_file.size());
    if (c.second) applier.SetSpillFolder(&folder);
    ByteReader patch_stream(reinterpret_cast<const uint8_t*>(patch.data()), patch.size());
    ByteWriter output;
    ASSERT_EQ(C_OK, applier.Apply(&patch_stream, &output)) << c.first << " " << c.second;
    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(output.Buffer()), output.Length()) ==
                new_file) << c.first;
    EXPECT_EQ(1u, applier.body().decoder_starts()) << c.first << " " << c.second;
    EXPECT_EQ(StreamSetBytes(parts.streams).size(), applier.body().decoded_bytes()) << c.first;
  }
}

TEST(EnsemblePatchLimit, ElfWalkGoesNoFurtherThanTheNewElementsMayTake) {
  // Fifteen sections over 256 KiB of calls: a walk of fifteen times the
  // file, past what a 64 KiB new file's elements may take.  The empty
  // element correction fails the patch (20) once the walk is made.
  ElfImage img;
  img.file_size = 0x41000;
  const uint32_t length = static_cast<uint32_t>(img.file_size + 40 * 16);
  img.segments = {ElfSegment{1, 0, 0, length, length}};
  img.sections.resize(16, ElfSection{1, 0, 0, length});
  std::string old_file = img.Build();
  for (uint32_t at = 0x1000; at + 5 <= img.file_size; at += 5) old_file[at] = '\xE8';
  const std::string patch = SerializeEnsemblePatch(WholeFileElementPatch(old_file, EXE_ELF_32_X86));
  EXPECT_EQ(C_STREAM_ERROR, Apply(old_file, patch).status);
  EXPECT_EQ(C_DISASSEMBLY_FAILED, Apply(old_file, patch, 64u << 10).status);
}

TEST(EnsemblePatchStatus, DamageLateInTheBodyFailsBeforeAnythingIsWritten) {
  // The corrections are read after the elements are transformed; a
  // damaged end still fails the whole patch.
  const std::string exe_v1 = ReadFixture("macho64_exe_v1");
  const std::string exe_v2 = ReadFixture("macho64_exe_v2");
  const std::string plain_old = RandomBytes(30000, 13);
  const std::string plain_new = RandomBytes(30000, 14);
  struct Case {
    const char* label;
    const std::string& old_file;
    const std::string& new_file;
    std::vector<ElementSpec> elements;
  };
  const std::vector<Case> cases = {
      {"no_elements", plain_old, plain_new, {}},
      {"one_element", exe_v1, exe_v2, {WholeFile(EXE_MACHO_X64, exe_v1, exe_v2)}},
  };
  for (const Case& c : cases) {
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(c.old_file, c.new_file, c.elements, &parts)) << c.label;
    // Something after the final correction, so that the damage lies behind
    // every stream the apply reads.
    parts.streams.push_back(RandomBytes(20000, 15));
    const std::string patch = SerializeEnsemblePatch(parts);
    for (size_t cut : {size_t(1), size_t(9), size_t(200)}) {
      const Outcome o = Apply(c.old_file, patch.substr(0, patch.size() - cut));
      EXPECT_EQ(C_STREAM_ERROR, o.status) << c.label << " cut " << cut;
      EXPECT_FALSE(o.written) << c.label << " cut " << cut;
    }
  }
}

TEST(EnsemblePatch, SizePredictionIsOnlyAHint) {
  const std::string old_file = ReadFixture("macho64_dylib_v1");
  const std::string new_file = ReadFixture("macho64_dylib_v2");
  for (uint32_t prediction : {0u, 1u, 0xFFFFFFFFu}) {
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file,
                                  {WholeFile(EXE_MACHO_X64, old_file, new_file)}, &parts));
    parts.prediction = prediction;
    const std::string patch = SerializeEnsemblePatch(parts);
    AllocationProbe probe;
    const Outcome o = Apply(old_file, patch);
    // Nothing near the predicted 4 GiB is ever requested.
    EXPECT_LT(probe.largest(), 16u << 20) << prediction;
    EXPECT_EQ(C_OK, o.status) << prediction;
    EXPECT_TRUE(o.output == new_file);
  }
}

TEST(EnsemblePatch, BytesAfterTheBodyAreIgnored) {
  const std::string old_file = RandomBytes(3000, 4);
  const std::string new_file = RandomBytes(2000, 5);
  EnsemblePatchParts parts;
  ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file, {}, &parts));
  const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts) + "trailing junk");
  EXPECT_EQ(C_OK, o.status);
  EXPECT_TRUE(o.output == new_file);
}

// --- Failures ----------------------------------------------------------------------

namespace {

struct StatusCase {
  const char* label;
  PatchStatus expected;
  // Changes a correct patch (parts made from old to new with the elements).
  std::function<void(EnsemblePatchParts*)> mutate;
};

std::string Varints(std::initializer_list<uint32_t> values) {
  ByteWriter w;
  for (uint32_t v : values) w.PutVarint(v);
  return std::string(reinterpret_cast<const char*>(w.Buffer()), w.Length());
}

}  // namespace

TEST(EnsemblePatchStatus, HeaderAndBody) {
  const std::string old_file = RandomBytes(5000, 6);
  const std::string new_file = RandomBytes(4000, 7);
  const std::vector<StatusCase> cases = {
      {"bad_magic", C_BAD_ENSEMBLE_MAGIC, [](EnsemblePatchParts* p) { p->magic = 7696196; }},
      {"bad_version", C_BAD_ENSEMBLE_VERSION, [](EnsemblePatchParts* p) { p->version = 20110217; }},
      {"cut_after_magic", C_BAD_ENSEMBLE_VERSION, [](EnsemblePatchParts* p) { p->header_fields = 1; }},
      {"cut_after_version", C_BAD_ENSEMBLE_HEADER, [](EnsemblePatchParts* p) { p->header_fields = 2; }},
      {"cut_after_source", C_BAD_ENSEMBLE_HEADER, [](EnsemblePatchParts* p) { p->header_fields = 3; }},
      {"cut_after_target", C_BAD_ENSEMBLE_HEADER, [](EnsemblePatchParts* p) { p->header_fields = 4; }},
      {"source_checksum", C_CRC_MISMATCH, [](EnsemblePatchParts* p) {
         p->source_checksum ^= 1;
         p->body_override = "not even a body";  // never decoded
       }},
      {"target_checksum", C_CRC_MISMATCH, [](EnsemblePatchParts* p) { p->target_checksum ^= 1; }},
      {"no_body", C_STREAM_ERROR, [](EnsemblePatchParts* p) { p->with_body = false; }},
      {"body_not_a_set", C_STREAM_ERROR, [](EnsemblePatchParts* p) { p->body_override = "xyz"; }},
      {"three_streams", C_STREAM_ERROR, [](EnsemblePatchParts* p) { p->streams.resize(3); }},
      {"set_with_trailing_byte", C_STREAM_ERROR,
       [](EnsemblePatchParts* p) { p->body_override = StreamSetBytes(p->streams) + "x"; }},
      {"no_count", C_BAD_ENSEMBLE_HEADER, [](EnsemblePatchParts* p) { p->streams[0] = ""; }},
      {"stream0_left_over", C_BAD_ENSEMBLE_HEADER,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({0, 9}); }},
      {"kind_0", C_BAD_ENSEMBLE_HEADER,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({1, 0, 0, 16}); }},
      {"kind_8", C_BAD_ENSEMBLE_HEADER,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({1, 8, 0, 16}); }},
      {"kind_missing", C_BAD_ENSEMBLE_HEADER, [](EnsemblePatchParts* p) { p->streams[0] = Varints({1}); }},
      // A count far beyond what the stream can describe is refused up front.
      {"huge_count", C_BAD_ENSEMBLE_HEADER,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({0xFFFFFFFF, 7, 7, 7, 7, 7, 7}); }},
      // Both kinds are there, the second base range is not: Setup fails.
      {"second_range_missing", C_BAD_TRANSFORM,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({2, 7, 7, 0, 16}); }},
      {"length_missing", C_BAD_TRANSFORM,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({1, 7, 0}) + std::string(2, '\x80'); }},
      {"past_end_by_one", C_BAD_TRANSFORM,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({1, 7, 1, 5000}); }},
      {"offset_past_end", C_BAD_TRANSFORM,
       [](EnsemblePatchParts* p) { p->streams[0] = Varints({1, 7, 5001, 0}); }},
      {"empty_element_at_end", C_INPUT_NOT_RECOGNIZED,
       [](EnsemblePatchParts* p) {
         p->streams[0] = Varints({1, 7, 5000, 0});
         p->streams[1] = DiffBytes(PredictionBytes(1), PredictionBytes(1));
       }},
      {"not_an_executable", C_INPUT_NOT_RECOGNIZED,
       [](EnsemblePatchParts* p) {
         p->streams[0] = Varints({1, 6, 0, 5000});
         p->streams[1] = DiffBytes(PredictionBytes(1), PredictionBytes(1));
       }},
      {"bad_parameter_diff", C_GENERAL_ERROR, [](EnsemblePatchParts* p) { p->streams[1] = "\x07"; }},
      {"bad_element_diff", C_GENERAL_ERROR, [](EnsemblePatchParts* p) { p->streams[2] = ""; }},
      {"bad_final_diff", C_GENERAL_ERROR,
       [](EnsemblePatchParts* p) { p->streams[3] = p->streams[3].substr(0, 10); }},
      {"parameters_not_a_set", C_STREAM_ERROR,
       [](EnsemblePatchParts* p) { p->streams[1] = DiffBytes(PredictionBytes(0), "junk"); }},
      {"extra_parameter_set", C_STREAM_NOT_CONSUMED,
       [](EnsemblePatchParts* p) { p->streams[1] = DiffBytes(PredictionBytes(0), PredictionBytes(1)); }},
      {"extra_element_set", C_STREAM_NOT_CONSUMED,
       [](EnsemblePatchParts* p) { p->streams[2] = DiffBytes(PredictionBytes(0), PredictionBytes(1)); }},
  };
  for (const StatusCase& c : cases) {
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file, {}, &parts));
    c.mutate(&parts);
    const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts));
    EXPECT_EQ(c.expected, o.status) << c.label;
    EXPECT_FALSE(o.written) << c.label << ": a failed patch wrote the new file";
  }
}

TEST(EnsemblePatchStatus, ElementCorrections) {
  const std::string old_file = ReadFixture("macho64_exe_v1");
  const std::string new_file = ReadFixture("macho64_exe_v2");
  const std::vector<ElementSpec> elements = {WholeFile(EXE_MACHO_X64, old_file, new_file)};
  std::string old_t;
  ASSERT_TRUE(TransformedBytes(old_file, {{0, old_file.size()}}, &old_t));

  // A corrected-element set holding one nested set made of `streams`.
  auto element_set = [](const std::vector<std::string>& streams, bool extra_bytes) {
    voxpatch::StreamBundleWriter inner;
    for (size_t i = 0; i < streams.size(); ++i)
      inner.stream(i)->Write(streams[i].data(), streams[i].size());
    voxpatch::StreamBundleWriter outer;
    outer.PutNestedBundle(&inner);
    if (extra_bytes) outer.stream(1)->Write("x", 1);
    voxpatch::ByteWriter flat;
    outer.SerializeTo(&flat);
    return std::string(reinterpret_cast<const char*>(flat.Buffer()), flat.Length());
  };
  // An empty program: image base and counts all 0.
  const std::vector<std::string> empty_program = {Varints({0, 0}), Varints({0}), Varints({0}),
                                                  Varints({0}),    Varints({0}), Varints({0}),
                                                  Varints({0}),    Varints({0})};
  std::vector<std::string> unassemblable = empty_program;
  unassemblable[1] = Varints({1, 2});  // one single-byte copy, but no copy byte
  std::vector<std::string> unreadable = empty_program;
  unreadable.push_back("left over");  // stream 8 must be empty

  const std::vector<StatusCase> cases = {
      {"parameters_for_element", C_GENERAL_ERROR,
       [](EnsemblePatchParts* p) {
         voxpatch::StreamBundleWriter outer, inner;
         inner.stream(0)->Write("p", 1);
         outer.PutNestedBundle(&inner);
         voxpatch::ByteWriter flat;
         outer.SerializeTo(&flat);
         p->streams[1] = DiffBytes(PredictionBytes(1),
                                   std::string(reinterpret_cast<const char*>(flat.Buffer()),
                                               flat.Length()));
       }},
      {"missing_parameter_set", C_STREAM_ERROR,
       [](EnsemblePatchParts* p) { p->streams[1] = DiffBytes(PredictionBytes(1), PredictionBytes(0)); }},
      {"extra_parameter_set", C_STREAM_NOT_CONSUMED,
       [](EnsemblePatchParts* p) { p->streams[1] = DiffBytes(PredictionBytes(1), PredictionBytes(2)); }},
      {"program_unreadable", C_DESERIALIZATION_FAILED,
       [&](EnsemblePatchParts* p) { p->streams[2] = DiffBytes(old_t, element_set(unreadable, false)); }},
      {"program_unassemblable", C_ASSEMBLY_FAILED,
       [&](EnsemblePatchParts* p) { p->streams[2] = DiffBytes(old_t, element_set(unassemblable, false)); }},
      {"element_data_left_over", C_STREAM_NOT_CONSUMED,
       [&](EnsemblePatchParts* p) {
         std::vector<std::string> extra = empty_program;
         extra.push_back("");
         extra.push_back("z");  // stream 9 is not read by the program
         p->streams[2] = DiffBytes(old_t, element_set(extra, false));
       }},
      {"element_set_left_over", C_STREAM_NOT_CONSUMED,
       [&](EnsemblePatchParts* p) { p->streams[2] = DiffBytes(old_t, element_set(empty_program, true)); }},
      {"element_set_missing", C_STREAM_ERROR,
       [&](EnsemblePatchParts* p) { p->streams[2] = DiffBytes(old_t, PredictionBytes(0)); }},
  };
  for (const StatusCase& c : cases) {
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file, elements, &parts));
    c.mutate(&parts);
    const Outcome o = Apply(old_file, SerializeEnsemblePatch(parts));
    EXPECT_EQ(c.expected, o.status) << c.label;
    EXPECT_FALSE(o.written) << c.label;
  }
}

TEST(EnsemblePatchStatus, Files) {
  TempDir dir;
  const std::string old_file = RandomBytes(3000, 8);
  const std::string new_file = RandomBytes(3000, 9);
  EnsemblePatchParts parts;
  ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file, {}, &parts));
  const std::string patch = SerializeEnsemblePatch(parts);
  const std::string old_path = dir.File("old"), patch_path = dir.File("patch"),
                    new_path = dir.File("new");

  // No patch file, or an empty one (which cannot be mapped).
  WriteFile(old_path, old_file);
  EXPECT_EQ(C_PATCH_NOT_OPENED, ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str()));
  WriteFile(patch_path, "");
  EXPECT_EQ(C_PATCH_NOT_OPENED, ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str()));

  // A bad header is reported before the old file is looked at: here there is none.
  ::unlink(old_path.c_str());
  WriteFile(patch_path, "\x01\x02\x03");
  EXPECT_EQ(C_BAD_ENSEMBLE_MAGIC, ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str()));
  WriteFile(patch_path, "\x80");  // the magic varint itself is cut
  EXPECT_EQ(C_BAD_ENSEMBLE_MAGIC, ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str()));
  // With a good header the missing old file counts.
  WriteFile(patch_path, patch);
  EXPECT_EQ(C_OLD_FILE_ERROR, ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str()));
  EXPECT_FALSE(Exists(new_path));

  // The new file cannot be written: a folder stands at its path.
  WriteFile(old_path, old_file);
  const std::string folder = dir.File("new.d");
  ASSERT_EQ(0, ::mkdir(folder.c_str(), 0700));
  EXPECT_EQ(C_OLD_FILE_ERROR, ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), folder.c_str()));

  // An existing new file is replaced.
  WriteFile(new_path, std::string(10000, 'n'));
  EXPECT_EQ(C_OK, ApplyPatchFiles(old_path.c_str(), patch_path.c_str(), new_path.c_str()));
  EXPECT_TRUE(ReadFile(new_path) == new_file);
}

// The names in a folder, "." and ".." left out.
std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

TEST(EnsemblePatchStatus, ElementPatchesLeaveOnlyTheNewFileBehind) {
  // The new file and the body are kept in temporary files beside the new
  // path while an element patch is applied; whatever the outcome, none is
  // left, and a folder that takes no file fails as a write.
  const std::string old_file = ReadFixture("macho64_exe_v1");
  const std::string new_file = ReadFixture("macho64_exe_v2");
  EnsemblePatchParts parts;
  ASSERT_TRUE(MakeEnsemblePatch(old_file, new_file,
                                {WholeFile(EXE_MACHO_X64, old_file, new_file)}, &parts));
  EnsemblePatchParts wrong_target = parts;
  wrong_target.target_checksum ^= 1;
  struct Case {
    const char* label;
    EnsemblePatchParts parts;
    const char* new_name;
    PatchStatus expected;
    std::vector<std::string> left;
  } cases[] = {
      {"applied", parts, "new", C_OK, {"new", "old", "patch"}},
      {"wrong target checksum", wrong_target, "new", C_CRC_MISMATCH, {"old", "patch"}},
      {"folder missing", parts, "missing/new", C_OLD_FILE_ERROR, {"old", "patch"}},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteFile(dir.File("old"), old_file);
    WriteFile(dir.File("patch"), SerializeEnsemblePatch(c.parts));
    EXPECT_EQ(c.expected, ApplyPatchFiles(dir.File("old").c_str(), dir.File("patch").c_str(),
                                          dir.File(c.new_name).c_str()))
        << c.label;
    EXPECT_EQ(c.left, Listing(dir.File(""))) << c.label;
    if (c.expected == C_OK) {
      EXPECT_TRUE(ReadFile(dir.File("new")) == new_file) << c.label;
    }
  }
}

// --- Untrusted patches within a limit --------------------------------------------

TEST(EnsemblePatchLimit, NewFileLargerThanTheLimitIsNeverWritten) {
  const std::string old_file = RandomBytes(20000, 11);
  std::string new_file = old_file + RandomBytes(5000, 12);
  const std::string macho_old = ReadFixture("macho64_exe_v1");
  const std::string macho_new = ReadFixture("macho64_exe_v2");
  struct Case {
    const char* label;
    std::string old_file, new_file;
    std::vector<ElementSpec> elements;
  };
  const std::vector<Case> cases = {
      {"no elements", old_file, new_file, {}},
      {"Mach-O element", macho_old, macho_new, {WholeFile(EXE_MACHO_X64, macho_old, macho_new)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(c.old_file, c.new_file, c.elements, &parts));
    const std::string patch = SerializeEnsemblePatch(parts);
    const Outcome fits = Apply(c.old_file, patch, c.new_file.size());
    EXPECT_EQ(C_OK, fits.status);
    EXPECT_TRUE(fits.output == c.new_file);
    for (uint64_t limit : {uint64_t{0}, uint64_t{c.new_file.size() - 1}}) {
      const Outcome o = Apply(c.old_file, patch, limit);
      EXPECT_EQ(C_GENERAL_ERROR, o.status) << limit;
      EXPECT_FALSE(o.written) << limit;
    }
  }
}

TEST(EnsemblePatchStatus, OverlappingElementRanges) {
  const std::string fat = ReadFixture("macho_fat_v1");
  const auto slices = FatSlices(fat);
  ASSERT_GE(slices.size(), 2u);
  const uint32_t a = slices[0].first, a_len = slices[0].second;
  const uint32_t b = slices[1].first, b_len = slices[1].second;
  struct Case {
    const char* label;
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    PatchStatus expected;
  };
  const std::vector<Case> cases = {
      {"disjoint", {{a, a_len}, {b, b_len}}, C_OK},
      {"disjoint, listed backwards", {{b, b_len}, {a, a_len}}, C_OK},
      {"same range twice", {{a, a_len}, {a, a_len}}, C_BAD_TRANSFORM},
      {"whole file and a slice", {{0, static_cast<uint32_t>(fat.size())}, {b, b_len}},
       C_BAD_TRANSFORM},
      {"one byte shared", {{a, b - a + 1}, {b, b_len}}, C_BAD_TRANSFORM},
      {"empty range inside another", {{a, a_len}, {a + 1, 0}}, C_INPUT_NOT_RECOGNIZED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    EnsemblePatchParts parts;
    ASSERT_TRUE(MakeEnsemblePatch(fat, fat, {}, &parts));
    std::vector<uint32_t> kinds(c.ranges.size(), EXE_MACHO_X64);
    parts.streams[0] = ElementDescriptions(static_cast<uint32_t>(c.ranges.size()), kinds, c.ranges);
    parts.streams[1] = DiffBytes(PredictionBytes(c.ranges.size()), PredictionBytes(c.ranges.size()));
    std::string transformed;
    if (c.expected == C_OK) {
      ASSERT_TRUE(TransformedBytes(fat, c.ranges, &transformed));
      parts.streams[2] = DiffBytes(transformed, transformed);
      std::string final_input;
      ASSERT_TRUE(FinalInput(fat, transformed, c.ranges.size(), &final_input));
      parts.streams[3] = DiffBytes(final_input, fat);
    }
    const Outcome o = Apply(fat, SerializeEnsemblePatch(parts));
    EXPECT_EQ(c.expected, o.status);
    EXPECT_EQ(c.expected == C_OK, o.written);
  }
}

// Every PE and ELF fixture pair: the element is disassembled by its own
// disassembler on both sides.
INSTANTIATE_TEST_SUITE_P(
    PeElfFixtures, EnsembleVersionTest,
    ::testing::Values(
        VersionCase{"pe32_lld_exe", EXE_WIN_32_X86}, VersionCase{"pe32_lld_dll", EXE_WIN_32_X86},
        VersionCase{"pe64_lld_exe", EXE_WIN_32_X64}, VersionCase{"pe64_lld_dll", EXE_WIN_32_X64},
        VersionCase{"pe32_mingw_exe", EXE_WIN_32_X86},
        VersionCase{"pe32_mingw_exe_strip", EXE_WIN_32_X86},
        VersionCase{"pe32_mingw_dll", EXE_WIN_32_X86},
        VersionCase{"pe64_mingw_exe", EXE_WIN_32_X64},
        VersionCase{"pe64_mingw_exe_strip", EXE_WIN_32_X64},
        VersionCase{"pe64_mingw_dll", EXE_WIN_32_X64},
        VersionCase{"elf32_lld_pie", EXE_ELF_32_X86}, VersionCase{"elf32_lld_so", EXE_ELF_32_X86},
        VersionCase{"elf32_lld_static", EXE_ELF_32_X86},
        VersionCase{"elf32_gcc_pie", EXE_ELF_32_X86}, VersionCase{"elf32_gcc_so", EXE_ELF_32_X86},
        VersionCase{"elf32_gcc_static", EXE_ELF_32_X86},
        VersionCase{"elf64_lld_pie", EXE_ELF_64_X64}, VersionCase{"elf64_lld_so", EXE_ELF_64_X64},
        VersionCase{"elf64_lld_static", EXE_ELF_64_X64},
        VersionCase{"arm_lld_pie", EXE_ELF_32_ARM}, VersionCase{"arm_lld_so", EXE_ELF_32_ARM},
        VersionCase{"arm_lld_static", EXE_ELF_32_ARM}, VersionCase{"arm_gcc_arm", EXE_ELF_32_ARM},
        VersionCase{"arm_gcc_thumb", EXE_ELF_32_ARM}, VersionCase{"arm_gcc_mixed", EXE_ELF_32_ARM},
        VersionCase{"arm_branches", EXE_ELF_32_ARM}),
    [](const ::testing::TestParamInfo<VersionCase>& info) { return std::string(info.param.name); });
