// Block storage for small records.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "blockarena.h"

using namespace voxpatch;

TEST(BlockArena, RecordsAreAlignedApartAndSpanBlocks) {
  BlockArena arena;
  // Odd sizes, enough of them to fill several blocks; each record is
  // filled with its own number and must keep it.
  std::vector<std::pair<uint8_t*, size_t>> records;
  size_t total = 0;
  for (size_t i = 0; total < 3 * BlockArena::kBlockBytes; ++i) {
    const size_t size = 1 + (i * 7) % 61;
    uint8_t* at = static_cast<uint8_t*>(arena.Allocate(size));
    ASSERT_NE(nullptr, at);
    ASSERT_EQ(0u, reinterpret_cast<uintptr_t>(at) % 8);
    std::memset(at, static_cast<int>(i & 0xFF), size);
    records.push_back({at, size});
    total += size;
  }
  for (size_t i = 0; i < records.size(); ++i) {
    for (size_t k = 0; k < records[i].second; ++k)
      ASSERT_EQ(static_cast<uint8_t>(i & 0xFF), records[i].first[k]) << i;
  }
  // A whole block is the most one record may take.
  EXPECT_EQ(nullptr, arena.Allocate(BlockArena::kBlockBytes + 1));
  EXPECT_NE(nullptr, arena.Allocate(BlockArena::kBlockBytes));
  arena.Clear();
  void* again = arena.Allocate(16);
  ASSERT_NE(nullptr, again);
  std::memset(again, 1, 16);
}
