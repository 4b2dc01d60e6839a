#include "disassembledprogram.h"

#include <cstdio>
#include <new>
#include <utility>

#include "encodedprogram.h"
#include "logstream.h"

namespace voxpatch {

namespace {

const char kUnreachable[] = "REACHED UNREACHABLE";

// Labels used this many times or fewer are dropped by TrimLabels.
const int32_t kTrimThreshold = 5;

}  // namespace

DisassembledProgram::DisassembledProgram(ExecutableKind kind) : kind_(kind) {}

DisassembledProgram::~DisassembledProgram() {
  for (Instruction* insn : instructions_) {
    if (insn->kind() != INSN_BYTE) delete insn;  // plain bytes live in the cache
  }
  delete[] byte_cache_;
  for (auto& entry : rel32_labels_) delete entry.second;
  for (auto& entry : abs32_labels_) delete entry.second;
  for (AddressLabel* label : retired_labels_) delete label;
}

bool DisassembledProgram::Emit(Instruction* insn) {
  if (insn == nullptr) return false;
  if (instructions_.size() == instructions_.capacity()) {
    // Grow into a new array first so that a failed allocation keeps the
    // instructions already owned (a failed GrowableArray drops its contents).
    size_t wanted = instructions_.capacity() == 0
                        ? GrowableArray<Instruction*>::kStartCapacity
                        : instructions_.capacity();
    if (instructions_.capacity() != 0) {
      if (wanted > GrowableArray<Instruction*>::kMaxElements / 2) {
        wanted = GrowableArray<Instruction*>::kMaxElements;
      } else {
        wanted *= 2;
      }
    }
    GrowableArray<Instruction*> bigger;
    if (wanted <= instructions_.size() || !bigger.reserve(wanted) ||
        !bigger.append(instructions_.data(), instructions_.size())) {
      if (insn->kind() != INSN_BYTE) delete insn;
      return false;
    }
    instructions_ = std::move(bigger);
  }
  return instructions_.push_back(insn);
}

bool DisassembledProgram::AddOriginInsn(uint32_t rva) {
  return Emit(new (std::nothrow) OriginInstruction(rva));
}

bool DisassembledProgram::AddPeRelocsInsn() {
  return Emit(new (std::nothrow) Instruction(INSN_PE_RELOC_TABLE));
}

bool DisassembledProgram::AddElfRelocsInsn() {
  return Emit(new (std::nothrow) Instruction(INSN_ELF_RELOC_TABLE));
}

bool DisassembledProgram::AddElfArmRelocsInsn() {
  return Emit(new (std::nothrow) Instruction(INSN_ELF_ARM_RELOC_TABLE));
}

bool DisassembledProgram::AddByteInsn(uint8_t byte) {
  if (byte_cache_ == nullptr) {
    byte_cache_ = new (std::nothrow) Instruction[256];
    if (byte_cache_ == nullptr) return false;
    for (uint32_t i = 0; i < 256; ++i) byte_cache_[i].word_ = INSN_BYTE | (i << 4);
  }
  return Emit(&byte_cache_[byte]);
}

bool DisassembledProgram::AddBytesInsn(const uint8_t* data, size_t length) {
  return Emit(new (std::nothrow) BytesInstruction(data, length));
}

bool DisassembledProgram::EmitLabelInsn(uint32_t kind, AddressLabel* label) {
  if (label == nullptr) {
    // Only reachable when the label itself could not be allocated; the
    // instruction is not kept, so it never reaches the encoder.
    LogMessage(kLogError, kUnreachable);
    return false;
  }
  return Emit(new (std::nothrow) LabelInstruction(kind, label));
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
  return Emit(new (std::nothrow)
                  ArmRel32Instruction(compressed_op, label, op_data, op_size));
}

AddressLabel* DisassembledProgram::LabelAt(LabelMap* labels, uint32_t rva) {
  auto it = labels->lower_bound(rva);
  if (it == labels->end() || it->first != rva) {
    AddressLabel* label = new (std::nothrow) AddressLabel(rva);
    if (label == nullptr) return nullptr;
    try {
      it = labels->emplace_hint(it, rva, label);
    } catch (...) {
      delete label;
      return nullptr;
    }
  }
  ++it->second->count;
  return it->second;
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
  for (auto& entry : *labels) {
    AddressLabel* label = entry.second;
    if (label->index != -1) LogMessage(kLogError, kUnreachable);
    label->index = index++;
  }
}

void DisassembledProgram::NumberLabelsInOrder() {
  NumberInOrder(&abs32_labels_);
  NumberInOrder(&rel32_labels_);
}

void DisassembledProgram::ClearLabelNumbers() {
  for (auto& entry : abs32_labels_) entry.second->index = -1;
  for (auto& entry : rel32_labels_) entry.second->index = -1;
}

void DisassembledProgram::NumberRemaining(LabelMap* labels) {
  // 1. Which indexes are free.
  GrowableArray<uint8_t> available;
  const uint8_t yes = 1;
  for (size_t i = 0; i < labels->size(); ++i) {
    if (!available.push_back(yes)) return;
  }
  size_t used = 0;
  for (auto& entry : *labels) {
    const int32_t index = entry.second->index;
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
  for (auto& entry : *labels) {
    AddressLabel* label = entry.second;
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
  for (auto it = labels->rbegin(); it != labels->rend(); ++it) {
    AddressLabel* label = it->second;
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
  for (auto& entry : *labels) {
    AddressLabel* label = entry.second;
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
  for (size_t i = 0; i < instructions_.size(); ++i) {
    Instruction* insn = instructions_[i];
    if (insn->kind() != INSN_ARM_REL32_REF) continue;
    ArmRel32Instruction* branch = static_cast<ArmRel32Instruction*>(insn);
    if (branch->label()->count > kTrimThreshold) continue;
    if (branch->op_size() == 0) return false;
    Instruction* bytes = new (std::nothrow)
        BytesInstruction(branch->op_data(), branch->op_size());
    if (bytes == nullptr) return false;
    instructions_[i] = bytes;
    delete branch;
  }

  // The labels themselves leave the map; they keep their indexes, so the
  // numbering has gaps where they were.
  for (auto it = rel32_labels_.begin(); it != rel32_labels_.end();) {
    if (it->second->count > kTrimThreshold) {
      ++it;
      continue;
    }
    if (!retired_labels_.push_back(it->second)) return false;
    it = rel32_labels_.erase(it);
  }
  return true;
}

EncodedProgram* DisassembledProgram::ToEncodedProgram() const {
  EncodedProgram* encoded = new (std::nothrow) EncodedProgram();
  if (encoded == nullptr) return nullptr;
  encoded->SetBaseAddress(image_base_);

  bool ok = true;
  for (auto& entry : abs32_labels_) {
    if (!encoded->SetAbs32Address(entry.second->index, entry.second->address)) {
      ok = false;
      break;
    }
  }
  if (ok) {
    for (auto& entry : rel32_labels_) {
      if (!encoded->SetRel32Address(entry.second->index, entry.second->address)) {
        ok = false;
        break;
      }
    }
  }
  if (ok) ok = encoded->FinishLabels();

  for (size_t i = 0; ok && i < instructions_.size(); ++i) {
    const Instruction* insn = instructions_[i];
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
  }
  if (!ok) {
    delete encoded;
    return nullptr;
  }
  return encoded;
}

void DisassembledProgram::PrintLabelCounts() const {
  for (auto& entry : rel32_labels_) {
    if (entry.second->index != -1) std::printf("%d\n", entry.second->count);
  }
}

PatchStatus TrimLabels(DisassembledProgram* program) {
  return program->TrimLabels() ? C_OK : C_TRIM_FAILED;
}

PatchStatus Encode(const DisassembledProgram* program, EncodedProgram** output) {
  *output = program->ToEncodedProgram();
  return *output != nullptr ? C_OK : C_GENERAL_ERROR;
}

}  // namespace voxpatch
