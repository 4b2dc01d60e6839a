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
      DisassembleExecutable(ensemble_base_ + base_offset_, base_length_, &program);
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
  // Where the element's bytes lie, before loading moves past them.
  struct Range {
    const uint8_t* start;
    size_t length;
  } ranges[kMaxStreams] = {};
  const size_t streams = transformed->count() < kMaxStreams ? transformed->count() : kMaxStreams;
  for (size_t i = 0; i < streams; ++i)
    ranges[i] = {transformed->stream(i)->Position(), transformed->stream(i)->BytesLeft()};

  EncodedProgram* encoded = nullptr;
  PatchStatus status = LoadEncodedProgram(transformed, &encoded, TableEntriesFor(output->Room()));
  if (status != C_OK) return status;
  // The program holds its own copy of every table now.
  if (transformed_disposable_) {
    for (size_t i = 0; i < streams; ++i)
      ReleasePages(const_cast<uint8_t*>(ranges[i].start), ranges[i].length);
  }
  // The program is freed right after: its tables go back as they are used.
  status = encoded->Rebuild(output, true) ? C_OK : C_ASSEMBLY_FAILED;
  FreeEncodedProgram(encoded);
  return status;
}

}  // namespace voxpatch
