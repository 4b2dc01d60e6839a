// The output limit the fuzz targets pass to the engine's limited entries,
// as the updater passes an entry's signed size: large enough for every seed,
// small enough that a hostile input fails long before the fuzzer's memory
// limit.
#ifndef VOXPATCH_FUZZ_FUZZLIMITS_H
#define VOXPATCH_FUZZ_FUZZLIMITS_H

#include <cstdint>

namespace voxpatch_fuzz {

constexpr uint64_t kOutputLimit = 16u << 20;

}  // namespace voxpatch_fuzz

#endif  // VOXPATCH_FUZZ_FUZZLIMITS_H
