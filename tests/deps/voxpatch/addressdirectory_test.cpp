// Sorting of reference addresses and the directory that finds their
// positions.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "addressdirectory.h"

using namespace voxpatch;

namespace {

GrowableArray<uint32_t> ArrayOf(const std::vector<uint32_t>& values) {
  GrowableArray<uint32_t> array;
  array.append(values.data(), values.size());
  return array;
}

// Address sets of the shapes a disassembly meets, and some it should not.
struct AddressCase {
  const char* label;
  std::vector<uint32_t> addresses;
};

std::vector<AddressCase> AddressCases() {
  std::mt19937 random(11);
  std::vector<AddressCase> cases;
  cases.push_back({"empty", {}});
  cases.push_back({"one", {0x1234}});
  cases.push_back({"extremes", {0xFFFFFFFFu, 0, 0x80000000u, 0, 0xFFFFFFFFu}});
  std::vector<uint32_t> v;
  for (int i = 0; i < 200; ++i) v.push_back(random() % 5000);
  cases.push_back({"small_with_repeats", v});
  // Branch targets in a 16 MiB image, many referenced more than once.
  v.clear();
  for (int i = 0; i < 50000; ++i) v.push_back(0x1000 + random() % (1u << 24) / 4 * 4);
  for (int i = 0; i < 20000; ++i) v.push_back(v[random() % v.size()]);
  cases.push_back({"image_targets", v});
  // All high bytes alike (passes of the sort are left out), in descending order.
  v.clear();
  for (uint32_t i = 0; i < 30000; ++i) v.push_back(0x7F000000u + (30000 - i) * 3);
  cases.push_back({"descending_shared_high_bytes", v});
  // Spread over the whole 32 bits, with a dense cluster: buckets are uneven.
  v.clear();
  for (int i = 0; i < 20000; ++i) v.push_back(static_cast<uint32_t>(random()));
  for (uint32_t i = 0; i < 20000; ++i) v.push_back(0x00400000u + i);
  v.push_back(0);
  v.push_back(0xFFFFFFFFu);
  cases.push_back({"whole_range_and_cluster", v});
  // Everything in one bucket but one far value.
  v.clear();
  for (uint32_t i = 0; i < 5000; ++i) v.push_back(100 + i);
  v.push_back(0xFFFFFF00u);
  cases.push_back({"one_far_value", v});
  return cases;
}

}  // namespace

TEST(SortAddresses, SortsLikeTheStandardSort) {
  for (const AddressCase& c : AddressCases()) {
    std::vector<uint32_t> values = c.addresses;
    SortAddresses(values.data(), values.size());
    std::vector<uint32_t> expected = c.addresses;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, values) << c.label;
    // Sorting again changes nothing; a sorted front with a last value out
    // of order is sorted too.
    SortAddresses(values.data(), values.size());
    EXPECT_EQ(expected, values) << c.label;
    if (!values.empty() && values.front() != values.back()) {
      std::swap(values.front(), values.back());
      SortAddresses(values.data(), values.size());
      EXPECT_EQ(expected, values) << c.label;
    }
  }
}

TEST(AddressDirectory, FindsEveryAddressAndNothingElse) {
  for (const AddressCase& c : AddressCases()) {
    GrowableArray<uint32_t> array = ArrayOf(c.addresses);
    AddressDirectory directory;
    ASSERT_TRUE(directory.Build(&array)) << c.label;
    std::vector<uint32_t> unique = c.addresses;
    std::sort(unique.begin(), unique.end());
    unique.erase(std::unique(unique.begin(), unique.end()), unique.end());
    ASSERT_EQ(unique.size(), directory.size()) << c.label;
    EXPECT_TRUE(std::equal(unique.begin(), unique.end(), directory.addresses())) << c.label;
    for (size_t i = 0; i < unique.size(); ++i)
      ASSERT_EQ(i, directory.Find(unique[i])) << c.label << " at " << i;
    // Values next to each address that are not in the set.
    size_t absent = 0;
    for (uint32_t a : unique) {
      for (uint32_t probe : {a - 1, a + 1}) {
        if (std::binary_search(unique.begin(), unique.end(), probe)) continue;
        ++absent;
        EXPECT_EQ(directory.size(), directory.Find(probe)) << c.label << " " << probe;
      }
    }
    if (unique.size() > 1 && c.addresses.size() > 2) {
      EXPECT_GT(absent, 0u) << c.label;
    }
  }
}
