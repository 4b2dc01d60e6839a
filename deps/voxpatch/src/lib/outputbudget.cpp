#include "outputbudget.h"

namespace voxpatch {

namespace {

// Fixed room on top of the proportional part, for headers and small files.
constexpr uint64_t kSlack = 1u << 20;
// Encoded programs and diff controls spend at most this many bytes per
// output byte.
constexpr uint64_t kDecodedFactor = 8;

size_t Clamp(uint64_t n) { return n > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(n); }

// a * b + c, saturating at UINT64_MAX.
uint64_t Scaled(uint64_t a, uint64_t b, uint64_t c) {
  if (a > (UINT64_MAX - c) / b) return UINT64_MAX;
  return a * b + c;
}

}  // namespace

OutputBudget::OutputBudget(uint64_t max_output)
    : output_(Clamp(max_output)),
      programs_(Clamp(Scaled(max_output, 2, kSlack))),
      decoded_(Clamp(Scaled(max_output, kDecodedFactor, kSlack))) {}

}  // namespace voxpatch
