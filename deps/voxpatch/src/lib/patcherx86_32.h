// Element patcher for executables: the element is disassembled, encoded and
// written as an encoded program; a corrected encoded program is assembled
// back into bytes.

#ifndef VOXPATCH_PATCHERX86_32_H
#define VOXPATCH_PATCHERX86_32_H

#include <cstddef>
#include <cstdint>

#include "transformationpatcher.h"

namespace voxpatch {

class PatcherX86_32 : public TransformationPatcher {
 public:
  // base: the whole old file, which outlives the patcher.
  PatcherX86_32(const uint8_t* base, size_t base_length);

  PatchStatus Setup(ByteReader* descriptions) override;
  PatchStatus PredictParameters(StreamBundleWriter* predicted) override;
  PatchStatus TransformElement(StreamBundleReader* parameters,
                               StreamBundleWriter* transformed) override;
  PatchStatus RebuildElement(StreamBundleReader* transformed,
                             ByteWriter* output) override;

  // The transformed elements handed to RebuildElement lie in memory of the
  // caller's that is not read again: once an element's encoded program is
  // loaded, the pages its bytes fill are handed back to the system (they
  // read as zero afterwards), before the program is assembled.
  void SetTransformedDisposable(bool disposable) { transformed_disposable_ = disposable; }
  // The old file's bytes lie in a read-only file mapping, which reads the
  // same after its pages were handed back: they are handed back while the
  // element is encoded, as they are copied.
  void SetBaseRereadable(bool rereadable) { base_rereadable_ = rereadable; }
  // Passed to the element's disassembly (Disassembler::SetProgramLimit).
  void SetProgramLimit(uint64_t limit) { program_limit_ = limit; }

  uint32_t base_offset() const { return base_offset_; }
  uint32_t base_length() const { return base_length_; }

 private:
  const uint8_t* ensemble_base_;
  size_t ensemble_length_;
  uint32_t base_offset_ = 0;
  uint32_t base_length_ = 0;
  bool transformed_disposable_ = false;
  bool base_rereadable_ = false;
  uint64_t program_limit_ = UINT64_MAX;
};

}  // namespace voxpatch

#endif  // VOXPATCH_PATCHERX86_32_H
