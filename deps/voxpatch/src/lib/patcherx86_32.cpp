#include "patcherx86_32.h"

#include "bytereader.h"
#include "bytewriter.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executableparser.h"
#include "hugepages.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

namespace voxpatch {

PatcherX86_32::PatcherX86_32(const uint8_t* base, size_t base_length)
    : ensemble_base_(base), ensemble_length_(base_length) {}

PatchStatus PatcherX86_32::Setup(ByteReader* descriptions) {
  uint32_t offset = 0;
  uint32_t length = 0;
  if (!descriptions->GetVarint(&offset) || !descriptions->GetVarint(&length))
    return C_BAD_TRANSFORM;
  if (offset > ensemble_length_ || length > ensemble_length_ - offset)
    return C_BAD_TRANSFORM;
  base_offset_ = offset;
  base_length_ = length;
  return C_OK;
}

PatchStatus PatcherX86_32::PredictParameters(StreamBundleWriter*) { return C_OK; }

PatchStatus PatcherX86_32::TransformElement(StreamBundleReader* parameters,
                                            StreamBundleWriter* transformed) {
  if (!parameters->Empty()) return C_GENERAL_ERROR;

  DisassembledProgram* program = nullptr;
  PatchStatus status =
      DisassembleExecutable(ensemble_base_ + base_offset_, base_length_, &program,
                            base_rereadable_, program_limit_);
  if (status != C_OK) return status;

  status = TrimLabels(program);
  if (status != C_OK) {
    FreeDisassembledProgram(program);
    return status;
  }

  if (base_rereadable_)
    program->SetRereadableInput(ensemble_base_ + base_offset_,
                                ensemble_base_ + base_offset_ + base_length_);
  EncodedProgram* encoded = nullptr;
  status = EncodeReleasing(program, &encoded);
  FreeDisassembledProgram(program);
  if (status != C_OK) return status;

  // Each table goes as soon as its stream is written.
  status = StoreEncodedProgramReleasing(encoded, transformed);
  FreeEncodedProgram(encoded);
  return status;
}

PatchStatus PatcherX86_32::RebuildElement(StreamBundleReader* transformed,
                                          ByteWriter* output) {
  // The program takes its own copy of every table; where the element's
  // bytes are not needed afterwards, they go back as they are read.
  EncodedProgram* encoded = nullptr;
  PatchStatus status = LoadEncodedProgram(transformed, &encoded, TableEntriesFor(output->Room()),
                                          transformed_disposable_);
  if (status != C_OK) return status;
  // The program is freed right after: its tables go back as they are used.
  status = encoded->Rebuild(output, true) ? C_OK : C_ASSEMBLY_FAILED;
  FreeEncodedProgram(encoded);
  return status;
}

}  // namespace voxpatch
