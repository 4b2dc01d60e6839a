#include "disassembledprogram.h"

#include <cstdio>
#include <cstdlib>
#include <new>

#include "addressdirectory.h"
#include "arraygrowth.h"
#include "encodedprogram.h"
#include "hugepages.h"
#include "logstream.h"

namespace voxpatch {

namespace {

const char kUnreachable[] = "REACHED UNREACHABLE";

// Labels used this many times or fewer are dropped by TrimLabels.
const int32_t kTrimThreshold = 5;

// While encoding releases the program, the walked front of the instruction
// list is handed back every this many entries (about 1 MiB).
const size_t kListReleaseStep = 88 * 1024;

}  // namespace

DisassembledProgram::DisassembledProgram(ExecutableKind kind) : kind_(kind) {}

DisassembledProgram::~DisassembledProgram() {
  // Instructions are plain data: their storage (records_) goes as a whole.
  delete[] byte_cache_;
}

template <typename T, typename... Args>
bool DisassembledProgram::Emit(Args... args) {
  static_assert(sizeof(T) <= sizeof(InstructionSlot), "record fits a list entry");
  // A failed growth keeps the list as it was.
  if (!GrowPreserving(&slots_, 1)) return false;
  const size_t at = slots_.size();
  if (!slots_.set_size(at + 1)) return false;
  new (&slots_[at]) T(args...);
  return true;
}

const Instruction* DisassembledProgram::Resolve(const InstructionSlot* slot) {
  const Instruction* insn = reinterpret_cast<const Instruction*>(slot);
  if (insn->kind() == INSN_BYTE || insn->kind() == INSN_ARM_REL32_REF)
    return static_cast<const IndirectInstruction*>(insn)->target();
  return insn;
}

bool DisassembledProgram::AddOriginInsn(uint32_t rva) {
  return Emit<OriginInstruction>(rva);
}

bool DisassembledProgram::AddPeRelocsInsn() {
  return Emit<Instruction>(static_cast<uint32_t>(INSN_PE_RELOC_TABLE));
}

bool DisassembledProgram::AddElfRelocsInsn() {
  return Emit<Instruction>(static_cast<uint32_t>(INSN_ELF_RELOC_TABLE));
}

bool DisassembledProgram::AddElfArmRelocsInsn() {
  return Emit<Instruction>(static_cast<uint32_t>(INSN_ELF_ARM_RELOC_TABLE));
}

bool DisassembledProgram::AddByteInsn(uint8_t byte) {
  if (byte_cache_ == nullptr) {
    byte_cache_ = new (std::nothrow) Instruction[256];
    if (byte_cache_ == nullptr) return false;
    for (uint32_t i = 0; i < 256; ++i) byte_cache_[i].word_ = INSN_BYTE | (i << 4);
  }
  return Emit<IndirectInstruction>(byte_cache_[byte].word(),
                                   static_cast<const Instruction*>(&byte_cache_[byte]));
}

bool DisassembledProgram::AddBytesInsn(const uint8_t* data, size_t length) {
  // One instruction covers at most BytesInstruction::kMaxLength bytes;
  // longer runs take several.
  do {
    const uint32_t piece = length < BytesInstruction::kMaxLength
                               ? static_cast<uint32_t>(length)
                               : BytesInstruction::kMaxLength;
    if (!Emit<BytesInstruction>(data, piece)) return false;
    data += piece;
    length -= piece;
  } while (length != 0);
  return true;
}

bool DisassembledProgram::EmitLabelInsn(uint32_t kind, AddressLabel* label) {
  if (label == nullptr) {
    // Only reachable when the label itself could not be allocated; the
    // instruction is not kept, so it never reaches the encoder.
    LogMessage(kLogError, kUnreachable);
    return false;
  }
  return Emit<LabelInstruction>(kind, label);
}

bool DisassembledProgram::AddRel32Insn(AddressLabel* label) {
  return EmitLabelInsn(INSN_REL32_REF, label);
}

bool DisassembledProgram::AddAbs32Insn(AddressLabel* label) {
  return EmitLabelInsn(INSN_ABS32_REF, label);
}

bool DisassembledProgram::AddArmRel32Insn(uint16_t compressed_op,
                                          AddressLabel* label,
                                          const uint8_t* op_data,
                                          uint16_t op_size) {
  if (label == nullptr) {
    LogMessage(kLogError, kUnreachable);
    return false;
  }
  // The branch's record is larger than a list entry; the entry points to it.
  void* at = records_.Allocate(sizeof(ArmRel32Instruction));
  if (at == nullptr) return false;
  const ArmRel32Instruction* branch =
      new (at) ArmRel32Instruction(compressed_op, label, op_data, op_size);
  return Emit<IndirectInstruction>(branch->word(), static_cast<const Instruction*>(branch));
}

bool DisassembledProgram::AddRel32InsnTo(uint32_t rva) {
  return EmitPending(INSN_REL32_REF, rva, &pending_rel32_);
}

bool DisassembledProgram::AddAbs32InsnTo(uint32_t rva) {
  return EmitPending(INSN_ABS32_REF, rva, &pending_abs32_);
}

bool DisassembledProgram::EmitPending(uint32_t kind, uint32_t rva,
                                      size_t* pending) {
  if (!Emit<PendingLabelInstruction>(kind, rva)) return false;
  ++*pending;
  return true;
}

bool DisassembledProgram::ResolveLabels(LabelMap* labels, uint32_t kind,
                                        GrowableArray<uint32_t>* addresses) {
  const uint32_t pending = kind | PendingLabelInstruction::kPending;
  // A map that already has labels (made by LabelAt) takes the references
  // one by one.
  if (!labels->empty()) {
    addresses->clear();
    for (InstructionSlot& slot : slots_) {
      const Instruction* insn = reinterpret_cast<const Instruction*>(&slot);
      if (insn->word() != pending) continue;
      AddressLabel* label = LabelAt(
          labels, static_cast<const PendingLabelInstruction*>(insn)->address());
      if (label == nullptr) return false;
      new (&slot) LabelInstruction(kind, label);
    }
    return true;
  }
  // Otherwise the labels are made at once, in address order, and each
  // reference finds its label's number through the sorted addresses.
  AddressDirectory directory;
  if (!directory.Build(addresses) ||
      !labels->AddAscending(directory.addresses(), directory.size()))
    return false;
  for (InstructionSlot& slot : slots_) {
    const Instruction* insn = reinterpret_cast<const Instruction*>(&slot);
    if (insn->word() != pending) continue;
    const size_t number = directory.Find(
        static_cast<const PendingLabelInstruction*>(insn)->address());
    if (number >= directory.size())
      return false;  // cannot happen: all were gathered
    AddressLabel* label = labels->Made(number);
    ++label->count;
    new (&slot) LabelInstruction(kind, label);
  }
  return true;
}

bool DisassembledProgram::ResolveLabels() {
  if (pending_rel32_ == 0 && pending_abs32_ == 0) return true;
  // The addresses of both kinds, gathered in one pass over the list.
  GrowableArray<uint32_t> rel32;
  GrowableArray<uint32_t> abs32;
  if (!rel32.reserve(pending_rel32_) || !abs32.reserve(pending_abs32_))
    return false;
  const uint32_t rel32_pending =
      INSN_REL32_REF | PendingLabelInstruction::kPending;
  const uint32_t abs32_pending =
      INSN_ABS32_REF | PendingLabelInstruction::kPending;
  for (const InstructionSlot& slot : slots_) {
    const Instruction* insn = reinterpret_cast<const Instruction*>(&slot);
    if (insn->word() == rel32_pending)
      rel32.push_back(
          static_cast<const PendingLabelInstruction*>(insn)->address());
    else if (insn->word() == abs32_pending)
      abs32.push_back(
          static_cast<const PendingLabelInstruction*>(insn)->address());
  }
  if ((pending_rel32_ != 0 &&
       !ResolveLabels(&rel32_labels_, INSN_REL32_REF, &rel32)) ||
      (pending_abs32_ != 0 &&
       !ResolveLabels(&abs32_labels_, INSN_ABS32_REF, &abs32)))
    return false;
  pending_rel32_ = 0;
  pending_abs32_ = 0;
  return true;
}

AddressLabel* DisassembledProgram::LabelAt(LabelMap* labels, uint32_t rva) {
  AddressLabel* label = labels->FindOrAdd(rva);
  if (label != nullptr) ++label->count;
  return label;
}

AddressLabel* DisassembledProgram::Abs32LabelAt(uint32_t rva) {
  return LabelAt(&abs32_labels_, rva);
}

AddressLabel* DisassembledProgram::Rel32LabelAt(uint32_t rva) {
  return LabelAt(&rel32_labels_, rva);
}

AddressLabel* DisassembledProgram::InstructionAbs32Label(const Instruction* insn) {
  if (insn->kind() != INSN_ABS32_REF) return nullptr;
  return static_cast<const LabelInstruction*>(insn)->label();
}

AddressLabel* DisassembledProgram::InstructionRel32Label(const Instruction* insn) {
  if (insn->kind() != INSN_REL32_REF && insn->kind() != INSN_ARM_REL32_REF)
    return nullptr;
  return static_cast<const LabelInstruction*>(insn)->label();
}

void DisassembledProgram::NumberInOrder(LabelMap* labels) {
  int32_t index = 0;
  auto number = [&](AddressLabel* label) {
    if (label->index != -1) LogMessage(kLogError, kUnreachable);
    label->index = index++;
  };
  // Labels made in address order need no sorted order to be walked in it.
  if (labels->made_in_address_order())
    labels->ForEach(number);
  else
    for (AddressLabel* label : *labels) number(label);
}

void DisassembledProgram::NumberLabelsInOrder() {
  // Encoding walks the labels in order and through the instructions; the
  // address lookup is not needed any more.  It goes first, so that it is
  // not held beside the order that numbering makes.
  abs32_labels_.ReleaseIndex();
  rel32_labels_.ReleaseIndex();
  NumberInOrder(&abs32_labels_);
  NumberInOrder(&rel32_labels_);
  // Nothing after a disassembly walks the labels in order; the order is
  // made again should someone ask.
  abs32_labels_.ReleaseOrder();
  rel32_labels_.ReleaseOrder();
}

bool DisassembledProgram::ReserveInstructions(size_t count) {
  if (count <= slots_.size()) return true;
  return GrowPreserving(&slots_, count - slots_.size());
}

bool DisassembledProgram::ReserveLabels(size_t rel32, size_t abs32) {
  // Each map's reservation stands alone; a failed one leaves that map as
  // it was.
  const bool rel32_ok = rel32 == 0 || rel32_labels_.Reserve(rel32);
  const bool abs32_ok = abs32 == 0 || abs32_labels_.Reserve(abs32);
  return rel32_ok && abs32_ok;
}


void DisassembledProgram::ClearLabelNumbers() {
  for (AddressLabel* label : abs32_labels_) label->index = -1;
  for (AddressLabel* label : rel32_labels_) label->index = -1;
}

void DisassembledProgram::NumberRemaining(LabelMap* labels) {
  // 1. Which indexes are free.
  GrowableArray<uint8_t> available;
  const uint8_t yes = 1;
  for (size_t i = 0; i < labels->size(); ++i) {
    if (!available.push_back(yes)) return;
  }
  size_t used = 0;
  for (const AddressLabel* label : *labels) {
    const int32_t index = label->index;
    if (index == -1) continue;
    if (index < 0) continue;  // only -1 means "none"; others cannot be placed
    while (available.size() <= static_cast<size_t>(index)) {
      if (!available.push_back(yes)) return;
    }
    available[static_cast<size_t>(index)] = 0;
    ++used;
  }
  LogStream(kLogDebug) << used << " of " << labels->size()
                       << " labels pre-assigned";

  const size_t length = available.size();

  // 2. Fill forward: follow the previous label's index.
  size_t forward = 0;
  const AddressLabel* previous = nullptr;
  for (AddressLabel* label : *labels) {
    if (label->index == -1) {
      int64_t candidate = 0;
      if (previous != nullptr && previous->index != -1)
        candidate = static_cast<int64_t>(previous->index) + 1;
      if (candidate >= 0 && static_cast<uint64_t>(candidate) < length &&
          available[static_cast<size_t>(candidate)]) {
        label->index = static_cast<int32_t>(candidate);
        available[static_cast<size_t>(candidate)] = 0;
        ++forward;
      }
    }
    previous = label;
  }

  // 3. Fill backward: take one below the next higher label's index.
  size_t backward = 0;
  previous = nullptr;
  for (LabelMap::Iterator it = labels->end(); it != labels->begin();) {
    AddressLabel* label = *--it;
    if (label->index == -1) {
      int64_t value = previous != nullptr ? previous->index
                                          : static_cast<int64_t>(length);
      if (value != -1 && value != 0 && value - 1 >= 0 &&
          static_cast<uint64_t>(value - 1) < length &&
          available[static_cast<size_t>(value - 1)]) {
        label->index = static_cast<int32_t>(value - 1);
        available[static_cast<size_t>(value - 1)] = 0;
        ++backward;
      }
    }
    previous = label;
  }

  // 4. Infill: the lowest free indexes, in address order.
  size_t infill = 0;
  size_t cursor = 0;
  for (AddressLabel* label : *labels) {
    if (label->index != -1) continue;
    while (cursor < length && !available[cursor]) ++cursor;
    if (cursor >= length) break;  // cannot happen: one flag per label at least
    label->index = static_cast<int32_t>(cursor);
    available[cursor] = 0;
    ++cursor;
    ++infill;
  }

  LogStream(kLogDebug) << "  fill forward " << forward << "  backward "
                       << backward << "  infill " << infill;
}

void DisassembledProgram::NumberRemainingLabels() {
  NumberRemaining(&abs32_labels_);
  NumberRemaining(&rel32_labels_);
}

bool DisassembledProgram::TrimLabels() {
  if (kind_ != EXE_ELF_32_ARM) return true;

  LogStream(kLogDebug) << "TrimLabels: threshold " << kTrimThreshold;

  // Branches to rarely used labels become the plain bytes they came from.
  for (size_t i = 0; i < slots_.size(); ++i) {
    const Instruction* insn = Resolve(&slots_[i]);
    if (insn->kind() != INSN_ARM_REL32_REF) continue;
    const ArmRel32Instruction* branch = static_cast<const ArmRel32Instruction*>(insn);
    if (branch->label()->count > kTrimThreshold) continue;
    if (branch->op_size() == 0) return false;
    // The entry now holds the bytes; the branch's record goes with the program.
    new (&slots_[i]) BytesInstruction(branch->op_data(), static_cast<uint32_t>(branch->op_size()));
  }

  // The labels themselves leave the map; they keep their indexes, so the
  // numbering has gaps where they were.
  return rel32_labels_.RemoveUnless(
      [](const AddressLabel* label) { return label->count > kTrimThreshold; });
}

EncodedProgram* DisassembledProgram::ToEncodedProgram() const {
  return Translate([](size_t) {});
}

EncodedProgram* DisassembledProgram::ReleaseToEncodedProgram() {
  // The input up to the byte run last copied, where it may be read again.
  const uint8_t* input_copied = rereadable_begin_;
  EncodedProgram* encoded = Translate([&](size_t i) {
    const Instruction* insn = Resolve(&slots_[i]);
    if (insn->kind() == INSN_BYTE_RUN) {
      const uint8_t* run = static_cast<const BytesInstruction*>(insn)->data();
      if (run >= rereadable_begin_ && run < rereadable_end_) input_copied = run;
    }
    // The list's front is read for the last time: its pages go back every
    // so often, as does the input before the run last copied (runs come in
    // file order from most walks; should one come back, its pages are read
    // in again).
    if ((i + 1) % kListReleaseStep == 0) {
      ReleasePages(slots_.data(), (i + 1) * sizeof(InstructionSlot));
      if (input_copied > rereadable_begin_)
        ReleasePages(const_cast<uint8_t*>(rereadable_begin_),
                     static_cast<size_t>(input_copied - rereadable_begin_));
    }
  });
  records_.Clear();
  slots_.clear();
  return encoded;
}

bool DisassembledProgram::DefineLabels(const LabelMap& labels, EncodedProgram* encoded,
                                       bool (EncodedProgram::*reserve)(size_t),
                                       bool (EncodedProgram::*define)(int32_t, uint32_t)) {
  // The table is sized once, to the highest index.
  int32_t highest = -1;
  labels.ForEach([&](const AddressLabel* label) {
    if (label->index > highest) highest = label->index;
  });
  (encoded->*reserve)(static_cast<size_t>(static_cast<int64_t>(highest) + 1));
  bool ok = true;
  labels.ForEach([&](const AddressLabel* label) {
    if (ok) ok = (encoded->*define)(label->index, label->address);
  });
  return ok;
}

template <typename AfterEach>
EncodedProgram* DisassembledProgram::Translate(AfterEach after_each) const {
  EncodedProgram* encoded = new (std::nothrow) EncodedProgram();
  if (encoded == nullptr) return nullptr;
  encoded->SetBaseAddress(image_base_);

  // Every label goes to the slot of its index.  Indexes are unique within a
  // map, so the labels are taken as they are stored, without making their
  // address order (which would cost memory at the program's largest).
  bool ok = DefineLabels(abs32_labels_, encoded, &EncodedProgram::ReserveAbs32Addresses,
                         &EncodedProgram::SetAbs32Address) &&
            DefineLabels(rel32_labels_, encoded, &EncodedProgram::ReserveRel32Addresses,
                         &EncodedProgram::SetRel32Address);
  if (ok) ok = encoded->FinishLabels();

  // Size the tables from the instructions first (an upper bound: plain
  // bytes that merge into one run need fewer ops and counts).
  if (ok) {
    size_t origins = 0, copies = 0, copy_bytes = 0, abs32 = 0, rel32 = 0;
    for (const InstructionSlot& slot : slots_) {
      const Instruction* insn = Resolve(&slot);
      switch (insn->kind()) {
        case INSN_START: ++origins; break;
        case INSN_BYTE: ++copies; ++copy_bytes; break;
        case INSN_BYTE_RUN:
          ++copies;
          copy_bytes += static_cast<const BytesInstruction*>(insn)->length();
          break;
        case INSN_ABS32_REF: ++abs32; break;
        case INSN_REL32_REF:
        case INSN_ARM_REL32_REF: ++rel32; break;
        default: break;
      }
    }
    encoded->ReserveForBuilding(slots_.size(), origins, copies, copy_bytes, abs32, rel32);
  }

  for (size_t i = 0; ok && i < slots_.size(); ++i) {
    const Instruction* insn = Resolve(&slots_[i]);
    switch (insn->kind()) {
      case INSN_START:
        ok = encoded->AppendOrigin(static_cast<const OriginInstruction*>(insn)->rva());
        break;
      case INSN_PE_RELOC_TABLE:
        ok = encoded->AppendPeRelocTable(kind_ == EXE_WIN_32_X86 ? 1 : 0);
        break;
      case INSN_ELF_RELOC_TABLE:
        ok = encoded->AppendElfRelocTable();
        break;
      case INSN_ELF_ARM_RELOC_TABLE:
        ok = encoded->AppendElfArmRelocTable();
        break;
      case INSN_BYTE: {
        const uint8_t byte = insn->byte_value();
        ok = encoded->AppendCopy(1, &byte);
        break;
      }
      case INSN_BYTE_RUN: {
        const BytesInstruction* run = static_cast<const BytesInstruction*>(insn);
        ok = encoded->AppendCopy(run->length(), run->data());
        break;
      }
      case INSN_REL32_REF:
        ok = encoded->AppendRel32(
            static_cast<const LabelInstruction*>(insn)->label()->index);
        break;
      case INSN_ABS32_REF:
        ok = encoded->AppendAbs32(
            static_cast<const LabelInstruction*>(insn)->label()->index);
        break;
      case INSN_ARM_REL32_REF: {
        const ArmRel32Instruction* branch =
            static_cast<const ArmRel32Instruction*>(insn);
        ok = encoded->AppendArmRel32(branch->compressed_op(),
                                     branch->label()->index);
        break;
      }
      default:
        LogStream(kLogError) << kUnreachable << " Unknown Insn OP kind";
        break;
    }
    after_each(i);
  }
  if (!ok) {
    delete encoded;
    return nullptr;
  }
  return encoded;
}

void DisassembledProgram::PrintLabelCounts() const {
  for (const AddressLabel* label : rel32_labels_) {
    if (label->index != -1) std::printf("%d\n", label->count);
  }
}

PatchStatus TrimLabels(DisassembledProgram* program) {
  return program->TrimLabels() ? C_OK : C_TRIM_FAILED;
}

PatchStatus Encode(const DisassembledProgram* program, EncodedProgram** output) {
  *output = program->ToEncodedProgram();
  return *output != nullptr ? C_OK : C_GENERAL_ERROR;
}

PatchStatus EncodeReleasing(DisassembledProgram* program, EncodedProgram** output) {
  *output = program->ReleaseToEncodedProgram();
  return *output != nullptr ? C_OK : C_GENERAL_ERROR;
}

}  // namespace voxpatch
