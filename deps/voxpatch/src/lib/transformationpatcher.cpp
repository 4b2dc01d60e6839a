#include "transformationpatcher.h"

namespace voxpatch {

TransformationPatcher::~TransformationPatcher() = default;

}  // namespace voxpatch
