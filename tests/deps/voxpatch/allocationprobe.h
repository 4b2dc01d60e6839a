// Records the largest single malloc request made by the patch engine while
// a probe is active.  Test programs that use it link with
// -Wl,--wrap=malloc, which routes the engine's malloc calls through here.

#ifndef VOXPATCH_TESTS_ALLOCATIONPROBE_H
#define VOXPATCH_TESTS_ALLOCATIONPROBE_H

#include <cstddef>

namespace voxpatch_test {

class AllocationProbe {
 public:
  AllocationProbe();
  ~AllocationProbe();
  // The largest request seen since construction.
  size_t largest() const;
};

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_ALLOCATIONPROBE_H
