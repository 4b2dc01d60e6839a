// Abstract patcher of one element of an ensemble patch.

#ifndef VOXPATCH_TRANSFORMATIONPATCHER_H
#define VOXPATCH_TRANSFORMATIONPATCHER_H

#include "patchstatus.h"

namespace voxpatch {

class ByteReader;
class ByteWriter;
class StreamBundleReader;
class StreamBundleWriter;

class TransformationPatcher {
 public:
  TransformationPatcher() = default;
  virtual ~TransformationPatcher();
  TransformationPatcher(const TransformationPatcher&) = delete;
  TransformationPatcher& operator=(const TransformationPatcher&) = delete;

  // Reads the element's description from the transformation descriptions.
  virtual PatchStatus Setup(ByteReader* descriptions) = 0;
  // Writes the predicted parameters of the element.
  virtual PatchStatus PredictParameters(StreamBundleWriter* predicted) = 0;
  // Turns the old element into its transformed form, using the corrected
  // parameters.
  virtual PatchStatus TransformElement(StreamBundleReader* parameters,
                                       StreamBundleWriter* transformed) = 0;
  // Turns a corrected transformed element into bytes appended to output.
  virtual PatchStatus RebuildElement(StreamBundleReader* transformed,
                                     ByteWriter* output) = 0;
};

}  // namespace voxpatch

#endif  // VOXPATCH_TRANSFORMATIONPATCHER_H
