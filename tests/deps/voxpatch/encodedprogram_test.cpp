// Encoded programs: building, the stream layout, reading untrusted sets and
// assembling (relocation tables included).

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "allocationprobe.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "encodedprogram.h"
#include "logcapture.h"
#include "programtesthelpers.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

using namespace voxpatch;
using voxpatch_test::AllocationProbe;

namespace {

using voxpatch_test::Ops;
using voxpatch_test::Table;

std::vector<uint8_t> StreamBytes(StreamBundleWriter* set, size_t i) {
  ByteWriter* s = set->stream(i);
  return std::vector<uint8_t>(s->Buffer(), s->Buffer() + s->Length());
}

// Assembles a program; empty optional on failure.
bool Assemble(EncodedProgram* program, std::vector<uint8_t>* out) {
  ByteWriter sink;
  if (!program->Rebuild(&sink)) return false;
  out->assign(sink.Buffer(), sink.Buffer() + sink.Length());
  return true;
}

// Writes each stream of `streams` into a set of `count` streams and parses it.
struct RawSet {
  RawSet(const std::vector<std::vector<uint8_t>>& streams, size_t count = 9) {
    StreamBundleWriter writer;
    writer.SetCount(count);
    for (size_t i = 0; i < streams.size() && i < count; ++i)
      writer.stream(i)->Write(streams[i].data(), streams[i].size());
    EXPECT_TRUE(writer.SerializeTo(&flat));
    EXPECT_TRUE(reader.Parse(flat.Buffer(), flat.Length()));
  }
  ByteWriter flat;
  StreamBundleReader reader;
};

std::vector<uint8_t> Varints(std::initializer_list<uint32_t> values) {
  ByteWriter w;
  for (uint32_t v : values) w.PutVarint(v);
  return std::vector<uint8_t>(w.Buffer(), w.Buffer() + w.Length());
}

// Streams of an otherwise valid empty program (image base 0, all counts 0).
std::vector<std::vector<uint8_t>> EmptyProgramStreams() {
  return {Varints({0, 0}), Varints({0}), Varints({0}), Varints({0}), Varints({0}),
          Varints({0}), Varints({0}), Varints({0}), {}};
}

}  // namespace

TEST(EncodedProgram, CopiesMerge) {
  static const uint8_t bytes[] = {1, 2, 3, 4};
  {
    EncodedProgram p;
    ASSERT_TRUE(p.AppendCopy(1, bytes));
    EXPECT_EQ((std::vector<uint32_t>{EncodedProgram::COPY1}), Ops(p));
    EXPECT_TRUE(p.copy_counts().empty());
    ASSERT_TRUE(p.AppendCopy(1, bytes + 1));
    EXPECT_EQ((std::vector<uint32_t>{EncodedProgram::COPY}), Ops(p));
    EXPECT_EQ((std::vector<uint32_t>{2}), Table(p.copy_counts()));
    ASSERT_TRUE(p.AppendCopy(2, bytes + 2));
    EXPECT_EQ((std::vector<uint32_t>{4}), Table(p.copy_counts()));
    EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4}), Table(p.copy_bytes()));
  }
  {
    // A reference between copies starts a new run.
    EncodedProgram p;
    ASSERT_TRUE(p.AppendCopy(3, bytes));
    ASSERT_TRUE(p.AppendRel32(0));
    ASSERT_TRUE(p.AppendCopy(1, bytes));
    EXPECT_EQ((std::vector<uint32_t>{1, 3, 2}), Ops(p));
    EXPECT_EQ((std::vector<uint32_t>{3}), Table(p.copy_counts()));
  }
  {
    // An empty run turns a single byte before it into a run of one, adds
    // nothing to a run, and otherwise starts an empty run.
    EncodedProgram p;
    ASSERT_TRUE(p.AppendCopy(0, bytes));
    ASSERT_TRUE(p.AppendRel32(0));
    ASSERT_TRUE(p.AppendCopy(1, bytes));
    ASSERT_TRUE(p.AppendCopy(0, bytes));
    ASSERT_TRUE(p.AppendCopy(0, bytes));
    EXPECT_EQ((std::vector<uint32_t>{1, 3, 1}), Ops(p));
    EXPECT_EQ((std::vector<uint32_t>{0, 1}), Table(p.copy_counts()));
    EXPECT_EQ((std::vector<uint32_t>{1}), Table(p.copy_bytes()));
  }
}

TEST(EncodedProgram, FinishLabelsFillsGapsFromBelow) {
  EncodedProgram p;
  ASSERT_TRUE(p.SetRel32Address(0, 0x500));
  ASSERT_TRUE(p.SetRel32Address(3, 0x900));
  ASSERT_TRUE(p.SetAbs32Address(2, 0x40));
  EXPECT_FALSE(p.SetAbs32Address(-1, 0x40));
  EXPECT_EQ((std::vector<uint32_t>{0x500, 0xFFFFFFFF, 0xFFFFFFFF, 0x900}), Table(p.rel32_rvas()));
  ASSERT_TRUE(p.FinishLabels());
  EXPECT_EQ((std::vector<uint32_t>{0x500, 0x500, 0x500, 0x900}), Table(p.rel32_rvas()));
  EXPECT_EQ((std::vector<uint32_t>{0, 0, 0x40}), Table(p.abs32_rvas()));
}

TEST(EncodedProgram, StreamLayout) {
  static const uint8_t bytes[] = {0xAA, 0xBB, 0xCC};
  EncodedProgram p;
  p.SetBaseAddress(0x1122334455667788ull);
  ASSERT_TRUE(p.SetRel32Address(0, 10));
  ASSERT_TRUE(p.SetRel32Address(1, 12));
  ASSERT_TRUE(p.SetRel32Address(2, 11));
  ASSERT_TRUE(p.SetAbs32Address(0, 300));
  ASSERT_TRUE(p.AppendOrigin(0x1000));
  ASSERT_TRUE(p.AppendCopy(3, bytes));
  ASSERT_TRUE(p.AppendRel32(2));
  ASSERT_TRUE(p.AppendAbs32(0));
  ASSERT_TRUE(p.AppendCopy(1, bytes));

  StreamBundleWriter set;
  ASSERT_TRUE(p.Serialize(&set));
  EXPECT_EQ(Varints({0x55667788, 1, 0x1000}), StreamBytes(&set, 0));
  EXPECT_EQ(Varints({5, 0, 1, 3, 4, 2}), StreamBytes(&set, 1));
  EXPECT_EQ((std::vector<uint8_t>{4, 0xAA, 0xBB, 0xCC, 0xAA}), StreamBytes(&set, 2));
  EXPECT_EQ(Varints({1, 0}), StreamBytes(&set, 3));
  EXPECT_EQ(Varints({1, 2}), StreamBytes(&set, 4));
  EXPECT_EQ(Varints({1, 300}), StreamBytes(&set, 5));
  // 10, 12, 11 as wrapping differences 10, 2, 0xFFFFFFFF.
  EXPECT_EQ((std::vector<uint8_t>{3, 10, 2, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F}), StreamBytes(&set, 6));
  EXPECT_EQ(Varints({1, 3}), StreamBytes(&set, 7));
  EXPECT_TRUE(StreamBytes(&set, 8).empty());

  ByteWriter flat;
  ASSERT_TRUE(set.SerializeTo(&flat));
  StreamBundleReader reader;
  ASSERT_TRUE(reader.Parse(flat.Buffer(), flat.Length()));
  EncodedProgram* raw = nullptr;
  ASSERT_EQ(C_OK, LoadEncodedProgram(&reader, &raw));
  std::unique_ptr<EncodedProgram> q(raw);
  EXPECT_EQ(0x55667788u, q->image_base());  // only the low 32 bits travel
  EXPECT_EQ((std::vector<uint32_t>{10, 12, 11}), Table(q->rel32_rvas()));
  EXPECT_EQ(Ops(p), Ops(*q));
  EXPECT_EQ(Table(p.copy_bytes()), Table(q->copy_bytes()));
  EXPECT_EQ(Table(p.copy_counts()), Table(q->copy_counts()));
  EXPECT_EQ(Table(p.origins()), Table(q->origins()));
  EXPECT_EQ(Table(p.abs32_ix()), Table(q->abs32_ix()));
  EXPECT_EQ(Table(p.rel32_ix()), Table(q->rel32_ix()));
  EXPECT_EQ(Table(p.abs32_rvas()), Table(q->abs32_rvas()));

  std::vector<uint8_t> a, b;
  ASSERT_TRUE(Assemble(&p, &a));
  ASSERT_TRUE(Assemble(q.get(), &b));
  EXPECT_EQ(a, b);
}

namespace {

// A program with every table filled, sized so that the tables differ in
// size (and so in the order a releasing write takes them).
void FillProgram(EncodedProgram* p, uint32_t seed, size_t copies) {
  std::mt19937 rng(seed);
  p->SetBaseAddress(0x400000 + seed);
  for (int32_t i = 0; i < 40; ++i) p->SetRel32Address(i, rng() % 0x100000);
  for (int32_t i = 0; i < 7; ++i) p->SetAbs32Address(i * 2, rng());
  p->FinishLabels();
  p->AppendOrigin(0x1000);
  std::vector<uint8_t> bytes(copies);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(rng());
  for (size_t at = 0; at < bytes.size();) {
    const size_t run = std::min<size_t>(1 + rng() % 9, bytes.size() - at);
    p->AppendCopy(run, &bytes[at]);
    at += run;
    switch (rng() % 4) {
      case 0: p->AppendRel32(rng() % 40); break;
      case 1: p->AppendAbs32(rng() % 13); break;
      case 2: p->AppendOrigin(static_cast<uint32_t>(rng())); break;
      default: p->AppendArmRel32(0x3000 | (rng() & 0xFFF), rng() % 40); break;
    }
  }
}

}  // namespace

TEST(EncodedProgram, ReleasingWriteGivesTheSameStreams) {
  struct Case {
    const char* label;
    size_t copies;
    bool reserved;     // the copy bytes reserved as the encoder does
    bool prefilled;    // the sink's streams already hold bytes
  };
  const Case cases[] = {
      {"copy bytes largest, reserved", 200000, true, false},
      {"copy bytes filling their table exactly", 262144, false, false},
      {"small program", 30, true, false},
      {"streams already written", 5000, true, true},
      {"empty", 0, true, false},
  };
  for (const Case& c : cases) {
    EncodedProgram plain, releasing;
    for (EncodedProgram* p : {&plain, &releasing}) {
      if (c.reserved) p->ReserveForBuilding(0, 0, 0, c.copies, 0, 0);
      FillProgram(p, 7, c.copies);
    }
    StreamBundleWriter expected, actual;
    if (c.prefilled) {
      for (size_t i = 0; i < 9; ++i) {
        ASSERT_TRUE(expected.stream(i)->Write("pre", 3));
        ASSERT_TRUE(actual.stream(i)->Write("pre", 3));
      }
    }
    ASSERT_TRUE(plain.Serialize(&expected)) << c.label;
    ASSERT_EQ(C_OK, StoreEncodedProgramReleasing(&releasing, &actual)) << c.label;
    for (size_t i = 0; i < 10; ++i)
      EXPECT_EQ(StreamBytes(&expected, i), StreamBytes(&actual, i)) << c.label << " stream " << i;
    // Every table is gone; the plain write keeps its program.
    EXPECT_TRUE(releasing.ops().empty()) << c.label;
    EXPECT_TRUE(releasing.copy_bytes().empty()) << c.label;
    EXPECT_TRUE(releasing.copy_counts().empty()) << c.label;
    EXPECT_TRUE(releasing.origins().empty()) << c.label;
    EXPECT_TRUE(releasing.rel32_ix().empty()) << c.label;
    EXPECT_TRUE(releasing.abs32_ix().empty()) << c.label;
    EXPECT_TRUE(releasing.rel32_rvas().empty()) << c.label;
    EXPECT_TRUE(releasing.abs32_rvas().empty()) << c.label;
    EXPECT_EQ(c.copies, plain.copy_bytes().size()) << c.label;

    // What was written reads back as the program that was kept.
    ByteWriter flat;
    ASSERT_TRUE(actual.SerializeTo(&flat));
    StreamBundleReader source;
    ASSERT_TRUE(source.Parse(flat.Buffer(), flat.Length()));
    if (c.prefilled) continue;
    EncodedProgram* loaded = nullptr;
    ASSERT_EQ(C_OK, LoadEncodedProgram(&source, &loaded)) << c.label;
    std::unique_ptr<EncodedProgram> owned(loaded);
    EXPECT_EQ(Ops(plain), Ops(*loaded)) << c.label;
    EXPECT_EQ(Table(plain.copy_bytes()), Table(loaded->copy_bytes())) << c.label;
    EXPECT_EQ(Table(plain.rel32_rvas()), Table(loaded->rel32_rvas())) << c.label;
  }

  // Too few streams: nothing is written and the tables go all the same.
  EncodedProgram p;
  FillProgram(&p, 3, 100);
  StreamBundleWriter small;
  small.SetCount(8);
  EXPECT_EQ(C_STREAM_ERROR, StoreEncodedProgramReleasing(&p, &small));
  EXPECT_TRUE(p.ops().empty());
  EXPECT_TRUE(p.copy_bytes().empty());
}

TEST(EncodedProgram, ReadingThatReleasesGivesTheSameTables) {
  // Copy bytes over several pieces of the piecewise read, and a few bytes.
  for (const size_t copies : {size_t(3) << 20, size_t(5000), size_t(1)}) {
    EncodedProgram plain;
    FillProgram(&plain, 11, copies);
    StreamBundleWriter set;
    ASSERT_TRUE(plain.Serialize(&set));
    ByteWriter flat;
    ASSERT_TRUE(set.SerializeTo(&flat));
    StreamBundleReader source;
    ASSERT_TRUE(source.Parse(flat.Buffer(), flat.Length()));
    const uint8_t* const bytes_start = source.stream(2)->Position();
    const size_t bytes_length = source.stream(2)->BytesLeft();
    EncodedProgram* loaded = nullptr;
    ASSERT_EQ(C_OK, LoadEncodedProgram(&source, &loaded, SIZE_MAX, true)) << copies;
    std::unique_ptr<EncodedProgram> owned(loaded);
    EXPECT_EQ(Ops(plain), Ops(*loaded)) << copies;
    EXPECT_EQ(Table(plain.copy_bytes()), Table(loaded->copy_bytes())) << copies;
    EXPECT_EQ(Table(plain.copy_counts()), Table(loaded->copy_counts())) << copies;
    EXPECT_EQ(Table(plain.rel32_ix()), Table(loaded->rel32_ix())) << copies;
    EXPECT_EQ(Table(plain.abs32_ix()), Table(loaded->abs32_ix())) << copies;
    EXPECT_EQ(Table(plain.rel32_rvas()), Table(loaded->rel32_rvas())) << copies;
    EXPECT_EQ(Table(plain.abs32_rvas()), Table(loaded->abs32_rvas())) << copies;
    EXPECT_EQ(Table(plain.origins()), Table(loaded->origins())) << copies;
    if (copies < (size_t(1) << 20)) continue;
    // The large stream went back as it was read: its whole pages read as
    // zero now (the flat set is anonymous memory).
    const size_t page = 4096;
    const uint8_t* first = reinterpret_cast<const uint8_t*>(
        (reinterpret_cast<uintptr_t>(bytes_start) + 2 * page) & ~(page - 1));
    size_t nonzero = 0;
    for (const uint8_t* p = first; p < bytes_start + bytes_length - 2 * page; ++p)
      nonzero += *p != 0;
    EXPECT_EQ(0u, nonzero);
  }
}

TEST(EncodedProgram, SerializeNeedsNineStreams) {
  EncodedProgram p;
  StreamBundleWriter set;
  set.SetCount(8);
  EXPECT_EQ(C_STREAM_ERROR, StoreEncodedProgram(&p, &set));
  set.SetCount(9);
  EXPECT_EQ(C_OK, StoreEncodedProgram(&p, &set));
}

TEST(EncodedProgram, ReadingRejectsMalformedSets) {
  // The empty program reads back, with 8, 9 or 10 streams.
  for (size_t count : {8u, 9u, 10u}) {
    RawSet set(EmptyProgramStreams(), count);
    EncodedProgram* p = nullptr;
    EXPECT_EQ(C_OK, LoadEncodedProgram(&set.reader, &p)) << count;
    FreeEncodedProgram(p);
  }
  RawSet seven(EmptyProgramStreams(), 7);
  EncodedProgram* too_few = nullptr;
  EXPECT_EQ(C_DESERIALIZATION_FAILED, LoadEncodedProgram(&seven.reader, &too_few));

  struct Case {
    const char* label;
    size_t stream;
    std::vector<uint8_t> bytes;
  };
  const std::vector<Case> cases = {
      {"stream8_not_empty", 8, {0}},
      {"origins_left_over", 0, Varints({0, 0, 7})},
      {"image_base_missing", 0, {}},
      {"ops_short", 1, Varints({2, 1})},
      {"copy_bytes_short", 2, {3, 1, 2}},
      {"copy_bytes_left_over", 2, {1, 1, 2}},
      {"rva_delta_cut", 5, {1, 0x80}},
  };
  for (const Case& c : cases) {
    auto streams = EmptyProgramStreams();
    streams[c.stream] = c.bytes;
    RawSet set(streams);
    EncodedProgram* p = reinterpret_cast<EncodedProgram*>(1);
    EXPECT_EQ(C_DESERIALIZATION_FAILED, LoadEncodedProgram(&set.reader, &p)) << c.label;
    EXPECT_EQ(nullptr, p) << c.label;
  }
}

TEST(EncodedProgram, HugeCountsAllocateNothingLarge) {
  // Each table read is sized by an untrusted count; a count the stream
  // cannot hold must be refused before any table is sized by it.
  for (size_t stream : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 7u}) {
    auto streams = EmptyProgramStreams();
    streams[stream] = Varints(stream == 0 ? std::initializer_list<uint32_t>{0, 0x3FFFFFFF}
                                          : std::initializer_list<uint32_t>{0x3FFFFFFF});
    streams[stream].resize(streams[stream].size() + 64, 1);
    RawSet set(streams);
    EncodedProgram* p = nullptr;
    AllocationProbe probe;
    EXPECT_EQ(C_DESERIALIZATION_FAILED, LoadEncodedProgram(&set.reader, &p)) << stream;
    EXPECT_LT(probe.largest(), 4096u) << stream;
  }
}

namespace {

// A program made straight from its nine streams.
std::unique_ptr<EncodedProgram> FromStreams(uint32_t base, std::initializer_list<uint32_t> origins,
                                            std::initializer_list<uint32_t> ops,
                                            std::vector<uint8_t> bytes,
                                            std::initializer_list<uint32_t> counts,
                                            std::initializer_list<uint32_t> abs32_ix = {},
                                            std::initializer_list<uint32_t> rel32_ix = {},
                                            std::initializer_list<uint32_t> abs32_rvas = {},
                                            std::initializer_list<uint32_t> rel32_rvas = {}) {
  auto table = [](std::initializer_list<uint32_t> values, bool delta) {
    ByteWriter w;
    w.PutVarint(static_cast<uint32_t>(values.size()));
    uint32_t previous = 0;
    for (uint32_t v : values) {
      w.PutVarint(delta ? v - previous : v);
      previous = v;
    }
    return std::vector<uint8_t>(w.Buffer(), w.Buffer() + w.Length());
  };
  std::vector<uint8_t> s0 = Varints({base});
  const auto o = table(origins, false);
  s0.insert(s0.end(), o.begin(), o.end());
  std::vector<uint8_t> s2 = Varints({static_cast<uint32_t>(bytes.size())});
  s2.insert(s2.end(), bytes.begin(), bytes.end());
  RawSet set({s0, table(ops, false), s2, table(abs32_ix, false), table(rel32_ix, false),
              table(abs32_rvas, true), table(rel32_rvas, true), table(counts, false), {}});
  EncodedProgram* p = nullptr;
  EXPECT_EQ(C_OK, LoadEncodedProgram(&set.reader, &p));
  return std::unique_ptr<EncodedProgram>(p);
}

}  // namespace

TEST(EncodedProgram, AssemblesReferences) {
  // origin 0x1000; rel32 to 0x1004 (the address right after it) writes 0;
  // rel32 to 0x1000 writes -8; abs32 adds the image base's low 32 bits.
  auto p = FromStreams(0x400000, {0x1000}, {0, 3, 3, 4, 2}, {0x90}, {}, {0}, {1, 0},
                       {0x2000}, {0x1000, 0x1004});
  ASSERT_NE(nullptr, p);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Assemble(p.get(), &out));
  EXPECT_EQ((std::vector<uint8_t>{0, 0, 0, 0, 0xF8, 0xFF, 0xFF, 0xFF, 0x00, 0x20, 0x40, 0x00, 0x90}),
            out);
}

TEST(EncodedProgram, AssemblyFailures) {
  struct Case {
    const char* label;
    std::unique_ptr<EncodedProgram> program;
  };
  std::vector<Case> cases;
  cases.push_back({"ops_stop_before_bytes_used", FromStreams(0, {}, {2}, {1, 2}, {})});
  cases.push_back({"copy_count_beyond_bytes", FromStreams(0, {}, {1}, {1, 2, 3}, {100})});
  cases.push_back({"copy_count_far_beyond_bytes", FromStreams(0, {}, {1}, {1, 2, 3}, {0xFFFFFFF0})});
  cases.push_back({"copy_count_wraps", FromStreams(0, {}, {1, 1}, {1, 2}, {1, 0xFFFFFFFF})});
  cases.push_back({"copy_counts_used_up", FromStreams(0, {}, {1, 1}, {1, 2}, {2})});
  cases.push_back({"copy_byte_used_up", FromStreams(0, {}, {2, 2}, {1}, {})});
  cases.push_back({"count_left_over", FromStreams(0, {}, {2}, {1}, {5})});
  cases.push_back({"origin_used_up", FromStreams(0, {}, {0}, {}, {})});
  cases.push_back({"rel32_index_out_of_table", FromStreams(0, {}, {3}, {}, {}, {}, {1}, {}, {7})});
  cases.push_back({"rel32_ix_used_up", FromStreams(0, {}, {3}, {}, {}, {}, {}, {}, {7})});
  cases.push_back({"rel32_ix_left_over", FromStreams(0, {}, {}, {}, {}, {}, {0}, {}, {7})});
  cases.push_back({"abs32_index_out_of_table", FromStreams(0, {}, {4}, {}, {}, {3}, {}, {1})});
  cases.push_back({"abs32_ix_left_over", FromStreams(0, {}, {}, {}, {}, {0}, {}, {1})});
  cases.push_back({"second_pe_table", FromStreams(0, {}, {5, 8}, {}, {})});
  cases.push_back({"second_elf_table", FromStreams(0, {}, {6, 7}, {}, {})});
  for (uint32_t op : {9u, 0xFFFu, 0x0ABCu, 0x6000u, 0xF123u, 0x13000u}) {
    cases.push_back({"unknown_op", FromStreams(0, {}, {op}, {}, {}, {}, {0}, {}, {0})});
  }
  for (Case& c : cases) {
    ASSERT_NE(nullptr, c.program) << c.label;
    ByteWriter sink;
    EXPECT_EQ(C_ASSEMBLY_FAILED, RebuildExecutable(c.program.get(), &sink)) << c.label;
  }
}

TEST(EncodedProgram, PeRelocationTable) {
  // Three addresses on one page: one block of 8 + 3 * 2 + 2 bytes of padding.
  auto p = FromStreams(0, {0x3000}, {0, 4, 4, 4, 5}, {}, {}, {0, 0, 0}, {}, {0});
  ASSERT_NE(nullptr, p);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Assemble(p.get(), &out));
  const std::vector<uint8_t> table = {0x00, 0x30, 0, 0, 16, 0, 0, 0, 0x00, 0x30,
                                      0x04, 0x30, 0x08, 0x30, 0, 0};
  // The references came before the table op, so they come first.
  ASSERT_EQ(12 + table.size(), out.size());
  EXPECT_EQ(std::vector<uint8_t>(12, 0), std::vector<uint8_t>(out.begin(), out.begin() + 12));
  EXPECT_EQ(table, std::vector<uint8_t>(out.begin() + 12, out.end()));
}

TEST(EncodedProgram, RelocationSortKeepsLastAddressLast) {
  // Addresses recorded 0x3008, 0x1004, 0x2000: the sort leaves the last
  // one where it is, so three blocks follow in the order 0x1000, 0x3000, 0x2000.
  auto p = FromStreams(0, {0x3008, 0x1004, 0x2000}, {0, 4, 0, 4, 0, 4, 8}, {}, {}, {0, 0, 0}, {},
                       {0x10});
  ASSERT_NE(nullptr, p);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Assemble(p.get(), &out));
  const std::vector<uint8_t> table = {
      0x00, 0x10, 0, 0, 12, 0, 0, 0, 0x04, 0xA0, 0, 0,   // DIR64 type 10
      0x00, 0x30, 0, 0, 12, 0, 0, 0, 0x08, 0xA0, 0, 0,
      0x00, 0x20, 0, 0, 12, 0, 0, 0, 0x00, 0xA0, 0, 0};
  ASSERT_EQ(12 + table.size(), out.size());
  EXPECT_EQ(table, std::vector<uint8_t>(out.begin() + 12, out.end()));
}

TEST(EncodedProgram, RelocationTablesWithoutAddresses) {
  // No abs32 reference at all: the tables are empty (and nothing underflows).
  for (uint32_t op : {5u, 6u, 7u, 8u}) {
    auto p = FromStreams(0, {}, {2, op, 2}, {0x11, 0x22}, {});
    ASSERT_NE(nullptr, p);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Assemble(p.get(), &out)) << op;
    EXPECT_EQ((std::vector<uint8_t>{0x11, 0x22}), out) << op;
  }
}

TEST(EncodedProgram, ElfRelocationTables) {
  for (uint32_t op : {6u, 7u}) {
    const uint8_t type = op == 6 ? 8 : 23;
    auto p = FromStreams(0x8000, {0x200, 0x100}, {0, 4, 0, 4, op}, {}, {}, {0, 0}, {}, {0x10});
    ASSERT_NE(nullptr, p);
    std::vector<uint8_t> out;
    ASSERT_TRUE(Assemble(p.get(), &out));
    // The two references, then the table (its op came last); the sort leaves
    // the last recorded address last.
    const std::vector<uint8_t> expected = {
        0x10, 0x80, 0, 0, 0x10, 0x80, 0, 0,
        0x00, 0x02, 0, 0, type, 0, 0, 0, 0x00, 0x01, 0, 0, type, 0, 0, 0};
    EXPECT_EQ(expected, out) << op;
  }
}

TEST(EncodedProgram, BothTableFamiliesGoBeforeTheRest) {
  auto p = FromStreams(0, {0x40}, {2, 5, 0, 4, 6, 2}, {0xAB, 0xCD}, {}, {0}, {}, {0});
  ASSERT_NE(nullptr, p);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Assemble(p.get(), &out));
  const std::vector<uint8_t> expected = {
      0xAB,                                                  // before the first table op
      0x00, 0x00, 0, 0, 12, 0, 0, 0, 0x40, 0x30, 0, 0,       // PE block for page 0
      0, 0, 0, 0, 0xCD,                                      // side output (ref, byte)
      0x40, 0, 0, 0, 8, 0, 0, 0};                            // ELF table last
  EXPECT_EQ(expected, out);
}

TEST(EncodedProgram, ArmBranchOps) {
  // Thumb conditional branch to itself: compressed 0x10D0 rebuilds FE D0.
  // ARM BL with offset 8: compressed 0x30EB rebuilds 00 00 00 EB.
  auto p = FromStreams(0, {0x100}, {0, 0x10D0, 0x30EB}, {}, {}, {}, {0, 1}, {}, {0x100, 0x10A});
  ASSERT_NE(nullptr, p);
  std::vector<uint8_t> out;
  ASSERT_TRUE(Assemble(p.get(), &out));
  EXPECT_EQ((std::vector<uint8_t>{0xFE, 0xD0, 0x00, 0x00, 0x00, 0xEB}), out);
}

TEST(EncodedProgram, LogSummaryCountsTables) {
  LogCapture log;
  auto p = FromStreams(7, {0x10}, {0, 2}, {1}, {});
  ASSERT_NE(nullptr, p);
  p->LogSummary();
  ASSERT_EQ(1u, log.lines().size());
  EXPECT_EQ(3, log.lines()[0].level);
  EXPECT_EQ(
      "EncodedProgram Summary\n  image base  7\n  abs32 rvas  0\n  rel32 rvas  0\n"
      "  ops         2\n  origins     1\n  copy_counts 0\n  copy_bytes  1\n"
      "  abs32_ix    0\n  rel32_ix    0",
      log.lines()[0].message);
}
