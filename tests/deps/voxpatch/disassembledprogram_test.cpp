// Disassembled programs: labels, numbering, trimming and encoding.

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "logcapture.h"
#include "programtesthelpers.h"

using namespace voxpatch;

namespace {

using voxpatch_test::Ops;
using voxpatch_test::Table;

}  // namespace

TEST(DisassembledProgram, EveryReferenceCountsOnce) {
  DisassembledProgram program(EXE_MACHO_X64);
  AddressLabel* a = program.Rel32LabelAt(0x400);
  AddressLabel* b = program.Rel32LabelAt(0x400);
  EXPECT_EQ(a, b);
  EXPECT_EQ(2, a->count);
  EXPECT_EQ(-1, a->index);
  // The abs32 map is separate.
  AddressLabel* c = program.Abs32LabelAt(0x400);
  EXPECT_NE(a, c);
  EXPECT_EQ(1, c->count);
  EXPECT_EQ(1u, program.rel32_labels().size());
  EXPECT_EQ(1u, program.abs32_labels().size());
}

TEST(DisassembledProgram, NumberLabelsInOrderPerMap) {
  LogCapture log;
  DisassembledProgram program(EXE_WIN_32_X86);
  for (uint32_t rva : {0x300u, 0x100u, 0x200u}) {
    program.Rel32LabelAt(rva);
    program.Abs32LabelAt(rva + 0x1000);
  }
  program.NumberLabelsInOrder();
  EXPECT_EQ(0, program.rel32_labels().Find(0x100)->index);
  EXPECT_EQ(1, program.rel32_labels().Find(0x200)->index);
  EXPECT_EQ(2, program.rel32_labels().Find(0x300)->index);
  EXPECT_EQ(2, program.abs32_labels().Find(0x1300)->index);
  int32_t expected = 0;
  for (const AddressLabel* e : program.rel32_labels()) EXPECT_EQ(expected++, e->index);
  expected = 0;
  for (const AddressLabel* e : program.abs32_labels()) EXPECT_EQ(expected++, e->index);
  EXPECT_FALSE(log.contains("REACHED UNREACHABLE"));

  // Numbering twice is an internal error that is logged; the numbers stay.
  program.NumberLabelsInOrder();
  EXPECT_TRUE(log.contains("REACHED UNREACHABLE"));
  EXPECT_EQ(2, program.rel32_labels().Find(0x300)->index);

  program.ClearLabelNumbers();
  for (const AddressLabel* e : program.rel32_labels()) EXPECT_EQ(-1, e->index);
  for (const AddressLabel* e : program.abs32_labels()) EXPECT_EQ(-1, e->index);
}

struct RemainingCase {
  const char* label;
  std::vector<int32_t> preset;    // index per label in address order (-1 none)
  std::vector<int32_t> expected;  // index per label afterwards
  std::string pre_line;
  std::string fill_line;
};

TEST(DisassembledProgram, NumberRemainingLabels) {
  const std::vector<RemainingCase> cases = {
      {"middle_preset", {-1, 4, -1}, {0, 4, 1}, "1 of 3 labels pre-assigned",
       "  fill forward 1  backward 0  infill 1"},
      {"backward", {2, -1, 1}, {2, 0, 1}, "2 of 3 labels pre-assigned",
       "  fill forward 0  backward 1  infill 0"},
      {"none_preset", {-1, -1, -1, -1}, {0, 1, 2, 3}, "0 of 4 labels pre-assigned",
       "  fill forward 4  backward 0  infill 0"},
      {"zero_taken", {-1, -1, 0}, {1, 2, 0}, "1 of 3 labels pre-assigned",
       "  fill forward 0  backward 0  infill 2"},
  };
  for (const RemainingCase& c : cases) {
    LogCapture log;
    DisassembledProgram program(EXE_WIN_32_X86);
    for (size_t i = 0; i < c.preset.size(); ++i) {
      program.Rel32LabelAt(static_cast<uint32_t>(0x100 * (i + 1)))->index = c.preset[i];
    }
    program.NumberRemainingLabels();
    std::vector<int32_t> got;
    for (const AddressLabel* e : program.rel32_labels()) got.push_back(e->index);
    EXPECT_EQ(c.expected, got) << c.label;
    // Lines for the (empty) abs32 map come first, then the rel32 map.
    const std::vector<std::string> lines = log.messages();
    ASSERT_EQ(4u, lines.size()) << c.label;
    EXPECT_EQ("0 of 0 labels pre-assigned", lines[0]);
    EXPECT_EQ(c.pre_line, lines[2]) << c.label;
    EXPECT_EQ(c.fill_line, lines[3]) << c.label;
    for (const CapturedLine& line : log.lines()) EXPECT_EQ(3, line.level);
  }
}

TEST(DisassembledProgram, PlainBytesShareCachedInstructions) {
  DisassembledProgram program(EXE_MACHO_X86);
  ASSERT_TRUE(program.AddByteInsn(0x41));
  ASSERT_TRUE(program.AddByteInsn(0x42));
  ASSERT_TRUE(program.AddByteInsn(0x41));
  ASSERT_EQ(3u, program.instruction_count());
  EXPECT_EQ(program.instruction(0), program.instruction(2));
  EXPECT_NE(program.instruction(0), program.instruction(1));
  EXPECT_EQ(INSN_BYTE, program.instruction(1)->kind());
  EXPECT_EQ(0x42, program.instruction(1)->byte_value());
}

TEST(DisassembledProgram, EncodesEveryInstructionKind) {
  static const uint8_t run[] = {1, 2, 3};
  DisassembledProgram program(EXE_WIN_32_X86);
  program.SetBaseAddress(0x1234567800400000ull);
  AddressLabel* r = program.Rel32LabelAt(0x2000);
  AddressLabel* a = program.Abs32LabelAt(0x3000);
  AddressLabel* a2 = program.Abs32LabelAt(0x1000);
  program.NumberLabelsInOrder();
  ASSERT_TRUE(program.AddOriginInsn(0x1000));
  ASSERT_TRUE(program.AddByteInsn(0x90));
  ASSERT_TRUE(program.AddBytesInsn(run, 3));
  ASSERT_TRUE(program.AddRel32Insn(r));
  ASSERT_TRUE(program.AddAbs32Insn(a));
  ASSERT_TRUE(program.AddAbs32Insn(a2));
  ASSERT_TRUE(program.AddPeRelocsInsn());
  ASSERT_TRUE(program.AddElfRelocsInsn());
  ASSERT_TRUE(program.AddElfArmRelocsInsn());
  ASSERT_TRUE(program.AddByteInsn(0xCC));

  EXPECT_EQ(r, DisassembledProgram::InstructionRel32Label(program.instruction(3)));
  EXPECT_EQ(nullptr, DisassembledProgram::InstructionAbs32Label(program.instruction(3)));
  EXPECT_EQ(a, DisassembledProgram::InstructionAbs32Label(program.instruction(4)));
  EXPECT_EQ(nullptr, DisassembledProgram::InstructionRel32Label(program.instruction(4)));

  std::unique_ptr<EncodedProgram> encoded(program.ToEncodedProgram());
  ASSERT_NE(nullptr, encoded);
  EXPECT_EQ(0x1234567800400000ull, encoded->image_base());
  EXPECT_EQ((std::vector<uint32_t>{0, 1, 3, 4, 4, 5, 6, 7, 2}), Ops(*encoded));
  EXPECT_EQ((std::vector<uint32_t>{0x1000}), Table(encoded->origins()));
  EXPECT_EQ((std::vector<uint32_t>{4}), Table(encoded->copy_counts()));
  EXPECT_EQ((std::vector<uint32_t>{0x90, 1, 2, 3, 0xCC}), Table(encoded->copy_bytes()));
  EXPECT_EQ((std::vector<uint32_t>{0}), Table(encoded->rel32_ix()));
  EXPECT_EQ((std::vector<uint32_t>{1, 0}), Table(encoded->abs32_ix()));
  EXPECT_EQ((std::vector<uint32_t>{0x1000, 0x3000}), Table(encoded->abs32_rvas()));
  EXPECT_EQ((std::vector<uint32_t>{0x2000}), Table(encoded->rel32_rvas()));
}

TEST(DisassembledProgram, PeRelocationOpDependsOnKind) {
  for (ExecutableKind kind : {EXE_WIN_32_X86, EXE_WIN_32_X64, EXE_ELF_64_X64}) {
    DisassembledProgram program(kind);
    ASSERT_TRUE(program.AddPeRelocsInsn());
    std::unique_ptr<EncodedProgram> encoded(program.ToEncodedProgram());
    ASSERT_NE(nullptr, encoded);
    EXPECT_EQ((std::vector<uint32_t>{kind == EXE_WIN_32_X86 ? 5u : 8u}), Ops(*encoded));
  }
}

TEST(DisassembledProgram, MissingLabelIsRefused) {
  LogCapture log;
  DisassembledProgram program(EXE_MACHO_X64);
  EXPECT_FALSE(program.AddRel32Insn(nullptr));
  EXPECT_FALSE(program.AddAbs32Insn(nullptr));
  EXPECT_FALSE(program.AddArmRel32Insn(0x3000, nullptr, nullptr, 4));
  EXPECT_EQ(0u, program.instruction_count());
  const auto lines = log.lines();
  ASSERT_EQ(3u, lines.size());
  for (const CapturedLine& line : lines) {
    EXPECT_EQ("REACHED UNREACHABLE", line.message);
    EXPECT_EQ(1, line.level);
  }
}

TEST(DisassembledProgram, UnnumberedLabelFailsEncoding) {
  DisassembledProgram program(EXE_MACHO_X64);
  ASSERT_TRUE(program.AddRel32Insn(program.Rel32LabelAt(0x10)));
  EXPECT_EQ(nullptr, program.ToEncodedProgram());
  EncodedProgram* out = reinterpret_cast<EncodedProgram*>(1);
  EXPECT_EQ(C_GENERAL_ERROR, Encode(&program, &out));
  EXPECT_EQ(nullptr, out);
}

namespace {

// An ARM program with two labels: 0x100 used `uses_a` times and 0x200 used
// `uses_b` times, one 4-byte branch per use.
struct ArmProgram {
  explicit ArmProgram(ExecutableKind kind, int uses_a, int uses_b, uint16_t op_size = 4)
      : program(kind) {
    bytes.resize(4 * (uses_a + uses_b));
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7);
    size_t at = 0;
    for (int i = 0; i < uses_a + uses_b; ++i) {
      AddressLabel* label = program.Rel32LabelAt(i < uses_a ? 0x100 : 0x200);
      EXPECT_TRUE(program.AddArmRel32Insn(0x30EB, label, &bytes[at], op_size));
      at += 4;
    }
    program.NumberLabelsInOrder();
  }
  std::vector<uint8_t> bytes;
  DisassembledProgram program;
};

}  // namespace

TEST(DisassembledProgram, TrimDropsLabelsUsedFiveTimesOrLess) {
  LogCapture log;
  ArmProgram arm(EXE_ELF_32_ARM, 5, 6);
  ASSERT_TRUE(arm.program.TrimLabels());
  EXPECT_TRUE(log.contains("TrimLabels: threshold 5"));
  ASSERT_EQ(1u, arm.program.rel32_labels().size());
  EXPECT_EQ(0x200u, (*arm.program.rel32_labels().begin())->address);
  EXPECT_EQ(1, (*arm.program.rel32_labels().begin())->index);  // keeps its index

  ASSERT_EQ(11u, arm.program.instruction_count());
  for (size_t i = 0; i < 5; ++i) {
    const Instruction* insn = arm.program.instruction(i);
    ASSERT_EQ(INSN_BYTE_RUN, insn->kind());
    const BytesInstruction* run = static_cast<const BytesInstruction*>(insn);
    EXPECT_EQ(&arm.bytes[4 * i], run->data());
    EXPECT_EQ(4u, run->length());
  }
  for (size_t i = 5; i < 11; ++i) {
    EXPECT_EQ(INSN_ARM_REL32_REF, arm.program.instruction(i)->kind());
  }

  // Encoded: one copy run of the 20 trimmed bytes, then six branches to
  // index 1; slot 0 of the rel32 table is a gap filled from before it.
  std::unique_ptr<EncodedProgram> encoded(arm.program.ToEncodedProgram());
  ASSERT_NE(nullptr, encoded);
  EXPECT_EQ((std::vector<uint32_t>{1, 0x30EB, 0x30EB, 0x30EB, 0x30EB, 0x30EB, 0x30EB}),
            Ops(*encoded));
  EXPECT_EQ((std::vector<uint32_t>{20}), Table(encoded->copy_counts()));
  EXPECT_EQ(std::vector<uint32_t>(6, 1), Table(encoded->rel32_ix()));
  EXPECT_EQ((std::vector<uint32_t>{0, 0x200}), Table(encoded->rel32_rvas()));
}

TEST(DisassembledProgram, TrimKeepsOtherKindsUnchanged) {
  ArmProgram pe(EXE_WIN_32_X86, 1, 2);
  EXPECT_EQ(C_OK, TrimLabels(&pe.program));
  EXPECT_EQ(2u, pe.program.rel32_labels().size());
  for (size_t i = 0; i < pe.program.instruction_count(); ++i)
    EXPECT_EQ(INSN_ARM_REL32_REF, pe.program.instruction(i)->kind());
}

TEST(DisassembledProgram, TrimFailsOnZeroOpSize) {
  ArmProgram arm(EXE_ELF_32_ARM, 2, 0, 0);
  EXPECT_EQ(C_TRIM_FAILED, TrimLabels(&arm.program));
}

TEST(DisassembledProgram, PrintLabelCountsListsNumberedLabels) {
  DisassembledProgram program(EXE_MACHO_X64);
  program.Rel32LabelAt(0x10);
  program.Rel32LabelAt(0x20);
  program.Rel32LabelAt(0x20);
  program.Rel32LabelAt(0x30);
  program.NumberLabelsInOrder();
  program.rel32_labels().Find(0x30)->index = -1;
  ::testing::internal::CaptureStdout();
  program.PrintLabelCounts();
  EXPECT_EQ("1\n2\n", ::testing::internal::GetCapturedStdout());
}

TEST(LabelMap, AgreesWithAnOrderedMap) {
  // Many labels in random order (enough to grow the index several times),
  // with repeats: lookups, counts and the address order must agree with
  // std::map, also after taking labels out.
  std::mt19937 rng(99);
  LabelMap labels;
  std::map<uint32_t, int> reference;
  std::vector<AddressLabel*> seen;
  for (int i = 0; i < 50000; ++i) {
    const uint32_t address = rng() % 20000 * 0x40 + (i % 3 == 0 ? 0xFFFF0000u : 0);
    AddressLabel* label = labels.FindOrAdd(address);
    ASSERT_NE(nullptr, label);
    ASSERT_EQ(address, label->address);
    ++label->count;
    ++reference[address];
    seen.push_back(label);
  }
  ASSERT_EQ(reference.size(), labels.size());
  auto check = [&]() {
    auto it = reference.begin();
    for (const AddressLabel* label : labels) {
      ASSERT_NE(it, reference.end());
      EXPECT_EQ(it->first, label->address);
      EXPECT_EQ(it->second, label->count);
      EXPECT_EQ(label, labels.Find(it->first));
      ++it;
    }
    EXPECT_EQ(it, reference.end());
  };
  check();
  EXPECT_EQ(nullptr, labels.Find(0x41));

  // The address index may be dropped at any time; lookups rebuild it (also
  // after labels were taken out meanwhile).
  labels.ReleaseIndex();
  ASSERT_TRUE(labels.RemoveUnless([](const AddressLabel* l) { return l->count > 2; }));
  for (auto it = reference.begin(); it != reference.end();) {
    if (it->second <= 2) {
      EXPECT_EQ(nullptr, labels.Find(it->first));
      it = reference.erase(it);
    } else {
      ++it;
    }
  }
  ASSERT_EQ(reference.size(), labels.size());
  check();
  // Labels taken out stay readable (instructions may still point at them).
  for (const AddressLabel* label : seen) EXPECT_GE(label->count, 1);
  // New labels after a removal (and a released index) are found and
  // ordered too.
  labels.ReleaseIndex();
  AddressLabel* fresh = labels.FindOrAdd(3);
  ASSERT_NE(nullptr, fresh);
  EXPECT_EQ(fresh, labels.Find(3));
  EXPECT_TRUE(std::is_sorted(labels.begin(), labels.end(),
                             [](const AddressLabel* a, const AddressLabel* b) {
                               return a->address < b->address;
                             }));
  EXPECT_NE(labels.end(), std::find(labels.begin(), labels.end(), fresh));
}

namespace {

std::vector<uint32_t> AddressesInOrder(const LabelMap& labels) {
  std::vector<uint32_t> addresses;
  for (const AddressLabel* label : labels) addresses.push_back(label->address);
  return addresses;
}

}  // namespace

TEST(LabelMap, OrderFollowsLabelsAddedAfterAnIteration) {
  // Made ascending first (no sort needed), then one below and one between:
  // every walk after an addition sees the map as it is.
  LabelMap labels;
  for (uint32_t address : {0x10u, 0x20u, 0x30u}) ASSERT_NE(nullptr, labels.FindOrAdd(address));
  EXPECT_EQ((std::vector<uint32_t>{0x10, 0x20, 0x30}), AddressesInOrder(labels));
  ASSERT_NE(nullptr, labels.FindOrAdd(0x5));
  EXPECT_EQ(4u, labels.size());
  EXPECT_EQ((std::vector<uint32_t>{0x5, 0x10, 0x20, 0x30}), AddressesInOrder(labels));
  // A lookup of a known label changes nothing.
  ASSERT_EQ(labels.Find(0x20), labels.FindOrAdd(0x20));
  ASSERT_NE(nullptr, labels.FindOrAdd(0x18));
  EXPECT_EQ((std::vector<uint32_t>{0x5, 0x10, 0x18, 0x20, 0x30}), AddressesInOrder(labels));
  // A released order is made again on the next walk.
  labels.ReleaseOrder();
  EXPECT_EQ((std::vector<uint32_t>{0x5, 0x10, 0x18, 0x20, 0x30}), AddressesInOrder(labels));
  EXPECT_EQ(0x5u, (*labels.begin())->address);
  // Walking backwards, as index assignment does.
  std::vector<uint32_t> backwards;
  for (LabelMap::Iterator it = labels.end(); it != labels.begin();)
    backwards.push_back((*--it)->address);
  EXPECT_EQ((std::vector<uint32_t>{0x30, 0x20, 0x18, 0x10, 0x5}), backwards);
}

TEST(LabelMap, RemoveUnlessWithOrderAndIndexInAnyState) {
  // Every combination of a made or released order and index before the
  // removal gives the same map afterwards.
  for (int state = 0; state < 4; ++state) {
    const bool order_made = (state & 1) != 0;
    const bool index_released = (state & 2) != 0;
    LabelMap labels;
    for (uint32_t address : {0x40u, 0x10u, 0x30u, 0x20u, 0x50u}) {
      AddressLabel* label = labels.FindOrAdd(address);
      ASSERT_NE(nullptr, label);
      label->count = static_cast<int32_t>(address >> 4);  // 4, 1, 3, 2, 5
    }
    if (order_made) {
      ASSERT_EQ(5u, AddressesInOrder(labels).size());
    }
    if (index_released) labels.ReleaseIndex();
    ASSERT_TRUE(labels.RemoveUnless([](const AddressLabel* l) { return l->count % 2 == 1; }))
        << state;
    EXPECT_EQ(3u, labels.size()) << state;
    EXPECT_EQ((std::vector<uint32_t>{0x10, 0x30, 0x50}), AddressesInOrder(labels)) << state;
    EXPECT_EQ(nullptr, labels.Find(0x20)) << state;
    EXPECT_EQ(nullptr, labels.Find(0x40)) << state;
    ASSERT_NE(nullptr, labels.Find(0x30)) << state;
    EXPECT_EQ(3, labels.Find(0x30)->count) << state;
    // A removed address comes back as a new label, and the order has it.
    AddressLabel* again = labels.FindOrAdd(0x20);
    ASSERT_NE(nullptr, again) << state;
    EXPECT_EQ(0, again->count) << state;
    EXPECT_EQ((std::vector<uint32_t>{0x10, 0x20, 0x30, 0x50}), AddressesInOrder(labels)) << state;
    // A second removal sees the first one's result.
    ASSERT_TRUE(labels.RemoveUnless([](const AddressLabel* l) { return l->address != 0x50; }));
    EXPECT_EQ((std::vector<uint32_t>{0x10, 0x20, 0x30}), AddressesInOrder(labels)) << state;
    EXPECT_EQ(3u, labels.size()) << state;
  }
}

TEST(LabelMap, ReservationIsOnlyAHint) {
  // Reserving less than is then added, more, or after labels were already
  // added: lookups and order stay right either way.
  const size_t reservations[] = {0, 1, 100, 5000};
  for (size_t reserve : reservations) {
    LabelMap labels;
    ASSERT_NE(nullptr, labels.FindOrAdd(7));
    EXPECT_TRUE(labels.Reserve(reserve)) << reserve;
    std::mt19937 rng(static_cast<uint32_t>(reserve));
    std::set<uint32_t> reference = {7};
    for (int i = 0; i < 3000; ++i) {
      const uint32_t address = rng() % 4000 * 3;
      AddressLabel* label = labels.FindOrAdd(address);
      ASSERT_NE(nullptr, label) << reserve;
      ASSERT_EQ(address, label->address) << reserve;
      reference.insert(address);
    }
    ASSERT_EQ(reference.size(), labels.size()) << reserve;
    EXPECT_EQ(std::vector<uint32_t>(reference.begin(), reference.end()), AddressesInOrder(labels))
        << reserve;
    for (uint32_t address : reference) {
      ASSERT_NE(nullptr, labels.Find(address)) << reserve;
      EXPECT_EQ(address, labels.Find(address)->address) << reserve;
    }
    EXPECT_EQ(nullptr, labels.Find(1)) << reserve;
  }
  // Reserving fewer than are there, with the index released or not, keeps
  // every label reachable.
  for (bool released : {false, true}) {
    LabelMap labels;
    for (uint32_t i = 0; i < 300; ++i) ASSERT_NE(nullptr, labels.FindOrAdd(i * 8));
    if (released) labels.ReleaseIndex();
    EXPECT_TRUE(labels.Reserve(10)) << released;
    for (uint32_t i = 0; i < 300; ++i) {
      ASSERT_NE(nullptr, labels.Find(i * 8)) << released;
    }
    ASSERT_NE(nullptr, labels.FindOrAdd(5)) << released;
    EXPECT_EQ(301u, labels.size()) << released;
  }

  // A reservation that cannot be held fails and changes nothing.
  LabelMap labels;
  ASSERT_NE(nullptr, labels.FindOrAdd(9));
  EXPECT_FALSE(labels.Reserve(std::numeric_limits<size_t>::max() / 2));
  EXPECT_EQ(1u, labels.size());
  EXPECT_NE(nullptr, labels.Find(9));
  EXPECT_NE(nullptr, labels.FindOrAdd(10));

  DisassembledProgram program(EXE_MACHO_X64);
  EXPECT_TRUE(program.ReserveLabels(1000, 10));
  EXPECT_TRUE(program.rel32_labels().empty());
  EXPECT_FALSE(program.ReserveLabels(std::numeric_limits<size_t>::max() / 2, 0));
  EXPECT_EQ(1, program.Rel32LabelAt(0x40)->count);
}

namespace {

// Address space for long runs: reserved, never touched, so it costs no
// memory; the program only keeps pointers into it.
class ReservedRange {
 public:
  explicit ReservedRange(size_t length) : length_(length) {
    void* at = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
                      -1, 0);
    data_ = at == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(at);
  }
  ~ReservedRange() {
    if (data_ != nullptr) ::munmap(const_cast<uint8_t*>(data_), length_);
  }
  const uint8_t* data() const { return data_; }

 private:
  size_t length_;
  const uint8_t* data_;
};

std::vector<std::pair<size_t, size_t>> Runs(const DisassembledProgram& program,
                                            const uint8_t* base) {
  std::vector<std::pair<size_t, size_t>> runs;  // (offset from base, length)
  for (size_t i = 0; i < program.instruction_count(); ++i) {
    const Instruction* insn = program.instruction(i);
    if (insn->kind() != INSN_BYTE_RUN) {
      runs.emplace_back(SIZE_MAX, insn->kind());
      continue;
    }
    const BytesInstruction* run = static_cast<const BytesInstruction*>(insn);
    runs.emplace_back(static_cast<size_t>(run->data() - base), run->length());
  }
  return runs;
}

}  // namespace

TEST(DisassembledProgram, LongByteRunsAreSplitAtTheLengthLimit) {
  const size_t limit = BytesInstruction::kMaxLength;
  ASSERT_EQ(0x0FFFFFFFu, limit);
  ReservedRange range(2 * limit + 8);
  ASSERT_NE(nullptr, range.data());
  const uint8_t* base = range.data();
  using Runs_t = std::vector<std::pair<size_t, size_t>>;
  struct Case {
    size_t length;
    Runs_t expected;
  };
  const Case cases[] = {
      {0, {{0, 0}}},
      {limit - 1, {{0, limit - 1}}},
      {limit, {{0, limit}}},
      {limit + 1, {{0, limit}, {limit, 1}}},
      {2 * limit + 3, {{0, limit}, {limit, limit}, {2 * limit, 3}}},
  };
  for (const Case& c : cases) {
    DisassembledProgram program(EXE_MACHO_X64);
    ASSERT_TRUE(program.AddBytesInsn(base, c.length)) << c.length;
    // A reference behind the runs keeps its own kind and label.
    AddressLabel* label = program.Rel32LabelAt(0x1234);
    ASSERT_TRUE(program.AddRel32Insn(label));
    Runs_t expected = c.expected;
    expected.emplace_back(SIZE_MAX, INSN_REL32_REF);
    EXPECT_EQ(expected, Runs(program, base)) << c.length;
    EXPECT_EQ(label, DisassembledProgram::InstructionRel32Label(
                         program.instruction(program.instruction_count() - 1)));
  }

  // Runs of every length up to a few bytes encode to exactly their bytes,
  // whatever their neighbours.
  std::vector<uint8_t> input(64);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(0xA0 + i);
  DisassembledProgram program(EXE_MACHO_X64);
  size_t at = 0;
  for (size_t length = 1; at + length <= input.size(); ++length) {
    ASSERT_TRUE(program.AddBytesInsn(&input[at], length));
    at += length;
    ASSERT_TRUE(program.AddRel32Insn(program.Rel32LabelAt(static_cast<uint32_t>(at))));
  }
  program.NumberLabelsInOrder();
  std::unique_ptr<EncodedProgram> encoded(program.ToEncodedProgram());
  ASSERT_NE(nullptr, encoded);
  EXPECT_EQ(std::vector<uint8_t>(input.begin(), input.begin() + at),
            std::vector<uint8_t>(encoded->copy_bytes().begin(), encoded->copy_bytes().end()));
  std::vector<uint32_t> counts;
  for (size_t length = 1; length <= 10; ++length) counts.push_back(static_cast<uint32_t>(length));
  // The single byte is an op of its own; the others are runs.
  counts.erase(counts.begin());
  EXPECT_EQ(counts, Table(encoded->copy_counts()));
}

namespace {

void ExpectSameEncoding(const EncodedProgram& a, const EncodedProgram& b) {
  EXPECT_EQ(a.image_base(), b.image_base());
  EXPECT_EQ(Ops(a), Ops(b));
  EXPECT_EQ(Table(a.origins()), Table(b.origins()));
  EXPECT_EQ(Table(a.copy_counts()), Table(b.copy_counts()));
  EXPECT_EQ(Table(a.copy_bytes()), Table(b.copy_bytes()));
  EXPECT_EQ(Table(a.abs32_ix()), Table(b.abs32_ix()));
  EXPECT_EQ(Table(a.rel32_ix()), Table(b.rel32_ix()));
  EXPECT_EQ(Table(a.abs32_rvas()), Table(b.abs32_rvas()));
  EXPECT_EQ(Table(a.rel32_rvas()), Table(b.rel32_rvas()));
}

}  // namespace

TEST(DisassembledProgram, EncodingWhileReleasingGivesTheSameProgram) {
  // A program spanning several storage blocks, with shared byte
  // instructions in between: the storage freed on the way must never be
  // read again.
  std::vector<uint8_t> input(600000);
  for (size_t i = 0; i < input.size(); ++i) input[i] = static_cast<uint8_t>(i * 13);
  auto build = [&](DisassembledProgram* program) {
    program->SetBaseAddress(0x1000);
    ASSERT_TRUE(program->AddOriginInsn(0x1000));
    for (size_t at = 0; at + 6 <= input.size(); at += 6) {
      ASSERT_TRUE(program->AddBytesInsn(&input[at], 1));
      ASSERT_TRUE(program->AddRel32Insn(program->Rel32LabelAt(static_cast<uint32_t>(at % 4096))));
      if (at % 600 == 0) {
        ASSERT_TRUE(program->AddByteInsn(input[at]));
      }
    }
    program->NumberLabelsInOrder();
  };
  DisassembledProgram kept(EXE_MACHO_X64), released(EXE_MACHO_X64);
  build(&kept);
  build(&released);
  ASSERT_GT(kept.instruction_count(), 150000u);
  std::unique_ptr<EncodedProgram> a(kept.ToEncodedProgram());
  EncodedProgram* raw = nullptr;
  ASSERT_EQ(C_OK, EncodeReleasing(&released, &raw));
  std::unique_ptr<EncodedProgram> b(raw);
  ASSERT_NE(nullptr, a);
  ExpectSameEncoding(*a, *b);
  EXPECT_EQ(0u, released.instruction_count());

  // Trimming puts replacements behind everything else: the storage is then
  // kept to the end.
  ArmProgram trimmed_kept(EXE_ELF_32_ARM, 5, 70000), trimmed_released(EXE_ELF_32_ARM, 5, 70000);
  ASSERT_TRUE(trimmed_kept.program.TrimLabels());
  ASSERT_TRUE(trimmed_released.program.TrimLabels());
  std::unique_ptr<EncodedProgram> c(trimmed_kept.program.ToEncodedProgram());
  std::unique_ptr<EncodedProgram> d(trimmed_released.program.ReleaseToEncodedProgram());
  ASSERT_NE(nullptr, c);
  ASSERT_NE(nullptr, d);
  ExpectSameEncoding(*c, *d);
}

TEST(DisassembledProgram, ReferencesByAddressMatchLabelLookups) {
  // The same references made through the label lookups and by address: the
  // labels, their counts and numbers, and the encoded programs agree.  The
  // third program already has labels in its rel32 map when the references
  // by address come, which then take them one by one.
  std::mt19937 rng(5);
  struct Ref {
    bool abs32;
    uint32_t address;
  };
  std::vector<Ref> refs;
  for (int i = 0; i < 120000; ++i) {
    const bool abs32 = rng() % 3 == 0;
    // Many repeats, a few far addresses.
    uint32_t address = rng() % 40000 * 16;
    if (i % 997 == 0) address = 0xFFFFFFF0u - static_cast<uint32_t>(i);
    refs.push_back({abs32, address});
  }
  const uint8_t bytes[3] = {1, 2, 3};
  auto by_lookup = [&](DisassembledProgram* program, size_t from) {
    for (size_t i = from; i < refs.size(); ++i) {
      const Ref& r = refs[i];
      ASSERT_TRUE(program->AddBytesInsn(bytes, 1 + i % 3));
      ASSERT_TRUE(r.abs32 ? program->AddAbs32Insn(program->Abs32LabelAt(r.address))
                          : program->AddRel32Insn(program->Rel32LabelAt(r.address)));
    }
  };
  auto by_address = [&](DisassembledProgram* program, size_t from) {
    for (size_t i = from; i < refs.size(); ++i) {
      const Ref& r = refs[i];
      ASSERT_TRUE(program->AddBytesInsn(bytes, 1 + i % 3));
      ASSERT_TRUE(r.abs32 ? program->AddAbs32InsnTo(r.address)
                          : program->AddRel32InsnTo(r.address));
    }
  };
  DisassembledProgram looked_up(EXE_WIN_32_X86), deferred(EXE_WIN_32_X86), mixed(EXE_WIN_32_X86);
  by_lookup(&looked_up, 0);
  by_address(&deferred, 0);
  // The first thousand rel32 references of `mixed` are looked up.
  size_t split = 0;
  for (size_t rel32 = 0; rel32 < 1000; ++split) {
    if (refs[split].abs32) {
      ASSERT_TRUE(mixed.AddBytesInsn(bytes, 1 + split % 3));
      ASSERT_TRUE(mixed.AddAbs32InsnTo(refs[split].address));
    } else {
      ASSERT_TRUE(mixed.AddBytesInsn(bytes, 1 + split % 3));
      ASSERT_TRUE(mixed.AddRel32Insn(mixed.Rel32LabelAt(refs[split].address)));
      ++rel32;
    }
  }
  by_address(&mixed, split);
  ASSERT_TRUE(looked_up.ResolveLabels());  // nothing to resolve
  ASSERT_TRUE(deferred.ResolveLabels());
  ASSERT_TRUE(mixed.ResolveLabels());
  for (DisassembledProgram* p : {&looked_up, &deferred, &mixed}) p->NumberLabelsInOrder();

  std::unique_ptr<EncodedProgram> expected(looked_up.ToEncodedProgram());
  ASSERT_NE(nullptr, expected);
  for (DisassembledProgram* p : {&deferred, &mixed}) {
    SCOPED_TRACE(p == &deferred ? "deferred" : "mixed");
    ASSERT_EQ(looked_up.instruction_count(), p->instruction_count());
    EXPECT_EQ(looked_up.rel32_labels().size(), p->rel32_labels().size());
    EXPECT_EQ(looked_up.abs32_labels().size(), p->abs32_labels().size());
    for (size_t i = 0; i < p->instruction_count(); ++i) {
      const Instruction* want = looked_up.instruction(i);
      const Instruction* got = p->instruction(i);
      ASSERT_EQ(want->word(), got->word()) << i;
      const AddressLabel* a = DisassembledProgram::InstructionRel32Label(want);
      if (a == nullptr) a = DisassembledProgram::InstructionAbs32Label(want);
      const AddressLabel* b = DisassembledProgram::InstructionRel32Label(got);
      if (b == nullptr) b = DisassembledProgram::InstructionAbs32Label(got);
      ASSERT_EQ(a == nullptr, b == nullptr) << i;
      if (a == nullptr) continue;
      ASSERT_EQ(a->address, b->address) << i;
      ASSERT_EQ(a->count, b->count) << i;
      ASSERT_EQ(a->index, b->index) << i;
    }
    std::unique_ptr<EncodedProgram> encoded(p->ToEncodedProgram());
    ASSERT_NE(nullptr, encoded);
    ExpectSameEncoding(*expected, *encoded);
  }
}

TEST(LabelMap, LabelsMadeInAscendingOrderAtOnce) {
  // More labels than one storage block holds, then lookups (the index is
  // made on first use) and further labels, in and out of order.
  std::vector<uint32_t> addresses;
  for (uint32_t i = 0; i < 65536 + 100; ++i) addresses.push_back(10 + 3 * i);
  LabelMap labels;
  ASSERT_TRUE(labels.AddAscending(addresses.data(), addresses.size()));
  EXPECT_FALSE(labels.AddAscending(addresses.data(), 1));  // not empty any more
  EXPECT_EQ(addresses.size(), labels.size());
  EXPECT_TRUE(labels.made_in_address_order());
  for (size_t i = 0; i < addresses.size(); i += 999) {
    EXPECT_EQ(addresses[i], labels.Made(i)->address);
    EXPECT_EQ(labels.Made(i), labels.Find(addresses[i]));
    EXPECT_EQ(-1, labels.Made(i)->index);
    EXPECT_EQ(0, labels.Made(i)->count);
  }
  EXPECT_EQ(nullptr, labels.Find(11));
  AddressLabel* last = labels.FindOrAdd(0xFFFFFFF0u);
  ASSERT_NE(nullptr, last);
  EXPECT_TRUE(labels.made_in_address_order());
  AddressLabel* early = labels.FindOrAdd(11);
  ASSERT_NE(nullptr, early);
  EXPECT_FALSE(labels.made_in_address_order());
  std::vector<uint32_t> walked;
  for (const AddressLabel* label : labels) walked.push_back(label->address);
  ASSERT_EQ(addresses.size() + 2, walked.size());
  EXPECT_TRUE(std::is_sorted(walked.begin(), walked.end()));
  EXPECT_EQ(11u, walked[1]);
  EXPECT_EQ(0xFFFFFFF0u, walked.back());
}
