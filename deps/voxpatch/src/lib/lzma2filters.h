// The raw LZMA2 filter chain shared by the block encoder and decoder.

#ifndef VOXPATCH_LZMA2FILTERS_H
#define VOXPATCH_LZMA2FILTERS_H

#include <lzma.h>

#include <cstdint>

namespace voxpatch {

// Level 9 with the given dictionary size; filters needs two entries.
inline void SetLzma2Filters(lzma_options_lzma* options, lzma_filter* filters,
                            uint32_t dictionary) {
  lzma_lzma_preset(options, 9);
  options->dict_size = dictionary;
  filters[0].id = LZMA_FILTER_LZMA2;
  filters[0].options = options;
  filters[1].id = LZMA_VLI_UNKNOWN;
  filters[1].options = nullptr;
}

}  // namespace voxpatch

#endif  // VOXPATCH_LZMA2FILTERS_H
