// The disassembled form of one executable: its bytes as a list of
// instructions in file order, where every 32-bit absolute address and every
// relative branch target found by a disassembler refers to a label.

#ifndef VOXPATCH_DISASSEMBLEDPROGRAM_H
#define VOXPATCH_DISASSEMBLEDPROGRAM_H

#include <cstddef>
#include <cstdint>

#include "blockarena.h"
#include "executablekind.h"
#include "growablearray.h"
#include "labelmap.h"
#include "patchstatus.h"

namespace voxpatch {

class EncodedProgram;

enum InstructionKind : uint32_t {
  INSN_START = 0,
  INSN_PE_RELOC_TABLE = 1,
  INSN_ELF_RELOC_TABLE = 2,
  INSN_BYTE = 3,
  INSN_REL32_REF = 4,
  INSN_ABS32_REF = 5,
  INSN_ARM_REL32_REF = 6,
  INSN_ELF_ARM_RELOC_TABLE = 7,
  INSN_BYTE_RUN = 8,
};

// One instruction.  The low 4 bits of the word are the kind; a plain byte
// keeps its value in bits 4 to 11.  Instructions are plain data, made in the
// program's own storage and released with it.
class Instruction {
 public:
  Instruction() = default;
  explicit Instruction(uint32_t word) : word_(word) {}
  Instruction(const Instruction&) = delete;
  Instruction& operator=(const Instruction&) = delete;

  uint32_t kind() const { return word_ & 0xF; }
  uint32_t word() const { return word_; }
  uint8_t byte_value() const { return static_cast<uint8_t>(word_ >> 4); }

 private:
  friend class DisassembledProgram;
  uint32_t word_ = INSN_BYTE;
};

// The instruction records below are packed to 4-byte alignment: a program
// holds millions of them, and a pointer beside a 32-bit word would otherwise
// be padded to 16 bytes.
#pragma pack(push, 4)

class OriginInstruction : public Instruction {
 public:
  explicit OriginInstruction(uint32_t rva) : Instruction(INSN_START), rva_(rva) {}
  uint32_t rva() const { return rva_; }

 private:
  uint32_t rva_;
};

// A run of input bytes.  Its length is kept in bits 4 to 31 of the word, so
// one run covers at most kMaxLength bytes; AddBytesInsn splits longer ones.
class BytesInstruction : public Instruction {
 public:
  static constexpr uint32_t kMaxLength = 0x0FFFFFFFu;

  // length must not exceed kMaxLength.
  BytesInstruction(const uint8_t* data, uint32_t length)
      : Instruction(INSN_BYTE_RUN | (length << 4)), data_(data) {}
  const uint8_t* data() const { return data_; }
  size_t length() const { return word() >> 4; }

 private:
  const uint8_t* data_;
};

// A reference whose label is made later (see DisassembledProgram::
// ResolveLabels): the word is the reference's kind with kPending set, and
// the record holds the address until the label takes its place.
class PendingLabelInstruction : public Instruction {
 public:
  static constexpr uint32_t kPending = 1u << 4;
  PendingLabelInstruction(uint32_t kind, uint32_t address)
      : Instruction(kind | kPending), address_(address) {}
  uint32_t address() const { return address_; }

 private:
  uint32_t address_;
};

class LabelInstruction : public Instruction {
 public:
  LabelInstruction(uint32_t kind, AddressLabel* label)
      : Instruction(kind), label_(label) {}
  AddressLabel* label() const { return label_; }

 private:
  AddressLabel* label_;
};

class ArmRel32Instruction : public LabelInstruction {
 public:
  ArmRel32Instruction(uint16_t compressed_op, AddressLabel* label,
                      const uint8_t* op_data, uint16_t op_size)
      : LabelInstruction(INSN_ARM_REL32_REF, label),
        compressed_op_(compressed_op),
        op_size_(op_size),
        op_data_(op_data) {}
  uint16_t compressed_op() const { return compressed_op_; }
  const uint8_t* op_data() const { return op_data_; }
  uint16_t op_size() const { return op_size_; }

 private:
  uint16_t compressed_op_;
  uint16_t op_size_;
  const uint8_t* op_data_;
};

// A list entry that stands for an instruction kept elsewhere: a shared
// plain byte or an ARM branch (whose record does not fit an entry).
class IndirectInstruction : public Instruction {
 public:
  IndirectInstruction(uint32_t word, const Instruction* target)
      : Instruction(word), target_(target) {}
  const Instruction* target() const { return target_; }

 private:
  const Instruction* target_;
};

#pragma pack(pop)

static_assert(sizeof(LabelInstruction) == sizeof(uint32_t) + sizeof(void*) &&
                  sizeof(BytesInstruction) == sizeof(uint32_t) + sizeof(void*),
              "instruction records are not padded");

// One entry of a program's instruction list.  Records of up to this size
// (origins, byte runs, references and relocation tables) are held in the
// entry itself, so the list is one array without a pointer per
// instruction; the others are reached through an IndirectInstruction.
struct alignas(4) InstructionSlot {
  unsigned char bytes[sizeof(uint32_t) + sizeof(void*)];
};
static_assert(sizeof(InstructionSlot) == sizeof(LabelInstruction) &&
                  sizeof(InstructionSlot) == sizeof(IndirectInstruction),
              "instruction records fit a list entry");

class DisassembledProgram {
 public:
  explicit DisassembledProgram(ExecutableKind kind);
  ~DisassembledProgram();
  DisassembledProgram(const DisassembledProgram&) = delete;
  DisassembledProgram& operator=(const DisassembledProgram&) = delete;

  ExecutableKind kind() const { return kind_; }
  void SetBaseAddress(uint64_t base) { image_base_ = base; }
  uint64_t image_base() const { return image_base_; }

  // Each of these returns false only when memory runs out; the new
  // instruction is then discarded.
  bool AddOriginInsn(uint32_t rva);
  bool AddPeRelocsInsn();
  bool AddElfRelocsInsn();
  bool AddElfArmRelocsInsn();
  bool AddByteInsn(uint8_t byte);
  bool AddBytesInsn(const uint8_t* data, size_t length);
  bool AddRel32Insn(AddressLabel* label);
  bool AddAbs32Insn(AddressLabel* label);
  bool AddArmRel32Insn(uint16_t compressed_op, AddressLabel* label,
                       const uint8_t* op_data, uint16_t op_size);
  // The same as AddRel32Insn(Rel32LabelAt(rva)) and AddAbs32Insn(
  // Abs32LabelAt(rva)), but the label is made, and the reference counted,
  // only by ResolveLabels: a walk with many references then looks up no
  // label per reference, and the labels are made in address order.
  bool AddRel32InsnTo(uint32_t rva);
  bool AddAbs32InsnTo(uint32_t rva);
  // Gives every reference added by address its label, as the LabelAt calls
  // would have; a disassembly that used those additions calls this before
  // NumberLabelsInOrder, and nothing may look at their instructions before.
  // False only when memory runs out.
  bool ResolveLabels();

  // Makes room for about this many instructions, so that filling the
  // program does not copy its list on the way.  Only a hint: false when
  // memory runs out, with nothing changed.
  bool ReserveInstructions(size_t count);
  // Makes room for about this many labels in each map, so that filling
  // them does not rebuild their address lookups on the way.  Only a hint:
  // false when memory runs out, with nothing changed.
  bool ReserveLabels(size_t rel32, size_t abs32);

  // The label of an address, made on first use; every call counts one
  // reference.  Null only when memory runs out.
  AddressLabel* Abs32LabelAt(uint32_t rva);
  AddressLabel* Rel32LabelAt(uint32_t rva);

  // The label of an INSN_ABS32_REF instruction, else null.
  static AddressLabel* InstructionAbs32Label(const Instruction* insn);
  // The label of an INSN_REL32_REF or INSN_ARM_REL32_REF instruction, else null.
  static AddressLabel* InstructionRel32Label(const Instruction* insn);

  // Ends a disassembly: numbers the labels and frees the address lookup
  // (rebuilt should a label be looked up again).
  void NumberLabelsInOrder();
  void ClearLabelNumbers();
  void NumberRemainingLabels();

  bool TrimLabels();
  // A new encoded program (owned by the caller), or null when memory runs out.
  EncodedProgram* ToEncodedProgram() const;
  // The same, freeing the instructions' storage as they are encoded: the
  // program is left without instructions and is only fit to be deleted.
  EncodedProgram* ReleaseToEncodedProgram();
  // The input bytes lie in [begin, end) of memory that reads the same after
  // its pages were handed back (a read-only file mapping): encoding with
  // ReleaseToEncodedProgram then hands back the pages before the byte run
  // it has come to, once copied.
  void SetRereadableInput(const uint8_t* begin, const uint8_t* end) {
    rereadable_begin_ = begin;
    rereadable_end_ = end;
  }

  // Prints the use count of every numbered rel32 label on standard output.
  void PrintLabelCounts() const;

  size_t instruction_count() const { return slots_.size(); }
  const Instruction* instruction(size_t i) const { return Resolve(&slots_[i]); }
  const LabelMap& abs32_labels() const { return abs32_labels_; }
  const LabelMap& rel32_labels() const { return rel32_labels_; }

 private:
  // Appends an entry holding the record T(args...).
  template <typename T, typename... Args>
  bool Emit(Args... args);
  static const Instruction* Resolve(const InstructionSlot* slot);
  bool EmitLabelInsn(uint32_t kind, AddressLabel* label);
  // Appends a reference by address and counts it in *pending.
  bool EmitPending(uint32_t kind, uint32_t rva, size_t* pending);
  // Encodes the instructions; after_each(i) runs once instruction i is done.
  template <typename AfterEach>
  EncodedProgram* Translate(AfterEach after_each) const;
  static bool DefineLabels(const LabelMap& labels, EncodedProgram* encoded,
                           bool (EncodedProgram::*reserve)(size_t),
                           bool (EncodedProgram::*define)(int32_t, uint32_t));
  static AddressLabel* LabelAt(LabelMap* labels, uint32_t rva);
  bool ResolveLabels(LabelMap* labels, uint32_t kind,
                     GrowableArray<uint32_t>* addresses);
  static void NumberInOrder(LabelMap* labels);
  static void NumberRemaining(LabelMap* labels);

  const ExecutableKind kind_;
  uint64_t image_base_ = 0;
  Instruction* byte_cache_ = nullptr;  // 256 shared INSN_BYTE instructions
  GrowableArray<InstructionSlot> slots_;
  // Storage of the records kept outside the list (ARM branches), freed
  // with the program.
  BlockArena records_;
  LabelMap rel32_labels_;
  LabelMap abs32_labels_;
  // References added by address and not resolved yet.
  size_t pending_rel32_ = 0;
  size_t pending_abs32_ = 0;
  const uint8_t* rereadable_begin_ = nullptr;
  const uint8_t* rereadable_end_ = nullptr;
};

// Status forms: TrimLabels gives 1 or 28, ToEncodedProgram 1 or 2.
PatchStatus TrimLabels(DisassembledProgram* program);
PatchStatus Encode(const DisassembledProgram* program, EncodedProgram** output);
// The status form of ReleaseToEncodedProgram (1 or 2).
PatchStatus EncodeReleasing(DisassembledProgram* program, EncodedProgram** output);

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLEDPROGRAM_H
