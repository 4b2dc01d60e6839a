// Suffix arrays by induced sorting (SA-IS) and the Burrows-Wheeler
// transform built on them.  Results: 0 (or the primary index for the
// transforms) on success, -1 for a bad argument, -2 when working memory
// cannot be allocated.

#ifndef VOXPATCH_SUFFIXARRAY_H
#define VOXPATCH_SUFFIXARRAY_H

#include <cstdint>

namespace voxpatch {

// suffixes[0..length) receives the start offsets of all suffixes of bytes in
// ascending order.
int BuildSuffixArray(const uint8_t* bytes, int32_t* suffixes, int32_t length);

// The same over symbols 0..alphabet_size-1.
int BuildSuffixArrayInt(const int32_t* symbols, int32_t* suffixes,
                        int32_t length, int32_t alphabet_size);

// Burrows-Wheeler transform: output[0..length) receives the last column of
// the sorted rotations of the text followed by a unique smallest end symbol,
// without that end symbol; the result is the row index at which it stood.
// work needs room for length entries.
int BuildBwt(const uint8_t* bytes, uint8_t* output, int32_t* work,
             int32_t length);
int BuildBwtInt(const int32_t* symbols, int32_t* output, int32_t* work,
                int32_t length, int32_t alphabet_size);

}  // namespace voxpatch

#endif  // VOXPATCH_SUFFIXARRAY_H
