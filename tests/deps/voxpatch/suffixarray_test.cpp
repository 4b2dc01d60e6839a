#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "suffixarray.h"

using namespace voxpatch;

namespace {

template <typename Sym>
std::vector<int32_t> NaiveSuffixArray(const std::vector<Sym>& text) {
  std::vector<int32_t> sa(text.size());
  std::iota(sa.begin(), sa.end(), 0);
  std::sort(sa.begin(), sa.end(), [&text](int32_t a, int32_t b) {
    return std::lexicographical_compare(text.begin() + a, text.end(), text.begin() + b,
                                        text.end());
  });
  return sa;
}

std::vector<uint8_t> FromString(const std::string& s) { return {s.begin(), s.end()}; }

std::vector<uint8_t> RandomBytes(size_t n, uint32_t seed, uint32_t alphabet) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> b(n);
  for (auto& x : b) x = static_cast<uint8_t>(rng() % alphabet);
  return b;
}

std::vector<uint8_t> Fibonacci(size_t n) {
  std::string a = "b", b = "a";
  while (b.size() < n) {
    std::string c = b + a;
    a = b;
    b = c;
  }
  return FromString(b.substr(0, n));
}

struct TextCase {
  std::string name;
  std::vector<uint8_t> text;
};

std::vector<TextCase> TextCases() {
  std::vector<TextCase> cases = {
      {"banana", FromString("banana")},
      {"mississippi", FromString("mississippi")},
      {"abab", FromString("abababababababababab")},
      {"single symbol 1", {7}},
      {"single symbol 2000", std::vector<uint8_t>(2000, 'z')},
      {"zero bytes", std::vector<uint8_t>(300, 0)},
      {"fibonacci", Fibonacci(3000)},
      {"random 256", RandomBytes(5000, 1, 256)},
      {"random binary", RandomBytes(3000, 2, 2)},
      {"random four", RandomBytes(3000, 3, 4)},
  };
  std::vector<uint8_t> descending;
  for (int r = 0; r < 6; ++r)
    for (int v = 255; v >= 0; --v) descending.push_back(static_cast<uint8_t>(v));
  cases.push_back({"descending runs", descending});
  std::vector<uint8_t> periodic;
  for (int i = 0; i < 2500; ++i) periodic.push_back(static_cast<uint8_t>("abcab"[i % 5]));
  cases.push_back({"periodic", periodic});
  // Every short length, to reach the small recursion cases.
  for (uint32_t n = 0; n < 48; ++n) {
    cases.push_back({"short random " + std::to_string(n), RandomBytes(n, 100 + n, 3)});
  }
  return cases;
}

TEST(SuffixArray, MatchesNaiveSortOnBytes) {
  for (const TextCase& c : TextCases()) {
    SCOPED_TRACE(c.name);
    std::vector<int32_t> sa(c.text.size() + 1, -7);
    static const uint8_t kDummy = 0;
    const uint8_t* data = c.text.empty() ? &kDummy : c.text.data();
    ASSERT_EQ(BuildSuffixArray(data, sa.data(), static_cast<int32_t>(c.text.size())), 0);
    EXPECT_EQ(sa.back(), -7) << "wrote beyond the length";
    sa.pop_back();
    EXPECT_EQ(sa, NaiveSuffixArray(c.text));
  }
}

TEST(SuffixArray, MatchesNaiveSortOnIntegerSymbols) {
  std::mt19937 rng(9);
  for (int32_t k : {1, 2, 3, 17, 1000, 70000}) {
    for (size_t n : {1u, 2u, 10u, 500u, 3000u}) {
      SCOPED_TRACE("k " + std::to_string(k) + " n " + std::to_string(n));
      std::vector<int32_t> text(n);
      for (auto& x : text) x = static_cast<int32_t>(rng() % static_cast<uint32_t>(k));
      std::vector<int32_t> sa(n);
      ASSERT_EQ(BuildSuffixArrayInt(text.data(), sa.data(), static_cast<int32_t>(n), k), 0);
      EXPECT_EQ(sa, NaiveSuffixArray(text));
    }
  }
}

TEST(SuffixArray, RejectsBadArguments) {
  int32_t sa[4];
  const uint8_t bytes[4] = {1, 2, 3, 4};
  const int32_t symbols[4] = {0, 1, 2, 5};
  EXPECT_EQ(BuildSuffixArray(nullptr, sa, 4), -1);
  EXPECT_EQ(BuildSuffixArray(bytes, nullptr, 4), -1);
  EXPECT_EQ(BuildSuffixArray(bytes, sa, -1), -1);
  EXPECT_EQ(BuildSuffixArrayInt(symbols, sa, 4, 0), -1);
  EXPECT_EQ(BuildSuffixArrayInt(symbols, sa, 4, 5), -1) << "symbol 5 outside alphabet 5";
  EXPECT_EQ(BuildSuffixArrayInt(symbols, sa, 4, 6), 0);
  uint8_t out[4];
  EXPECT_EQ(BuildBwt(bytes, out, nullptr, 4), -1);
  EXPECT_EQ(BuildBwt(bytes, out, sa, -2), -1);
  int32_t out_int[4];
  EXPECT_EQ(BuildBwtInt(symbols, out_int, sa, 4, 3), -1);
}

// Rebuilds the text from the transform: the end symbol goes back at the
// primary index and the last-to-first mapping is walked backwards.
template <typename Sym>
std::vector<Sym> InverseBwt(const std::vector<Sym>& last, int primary) {
  const size_t n = last.size();
  // Column with the end symbol, encoded as -1 so it sorts first.
  std::vector<int64_t> column;
  for (size_t i = 0; i <= n; ++i) {
    if (static_cast<int>(i) == primary)
      column.push_back(-1);
    else
      column.push_back(static_cast<int64_t>(last[i < static_cast<size_t>(primary) ? i : i - 1]));
  }
  std::vector<size_t> order(n + 1);
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(),
                   [&column](size_t a, size_t b) { return column[a] < column[b]; });
  // Last-to-first mapping: the row that a row's rotation moves to when its
  // last symbol is brought to the front.
  std::vector<size_t> lf(n + 1);
  for (size_t r = 0; r <= n; ++r) lf[order[r]] = r;
  std::vector<Sym> text;
  size_t row = 0;  // the rotation that starts with the end symbol
  for (size_t i = 0; i < n; ++i) {
    text.push_back(static_cast<Sym>(column[row]));
    row = lf[row];
  }
  std::reverse(text.begin(), text.end());
  return text;
}

TEST(Bwt, InvertsBackToTheText) {
  for (const TextCase& c : TextCases()) {
    if (c.text.empty()) continue;
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> out(c.text.size());
    std::vector<int32_t> work(c.text.size());
    int primary = BuildBwt(c.text.data(), out.data(), work.data(),
                           static_cast<int32_t>(c.text.size()));
    ASSERT_GE(primary, 1);
    ASSERT_LE(primary, static_cast<int>(c.text.size()));
    EXPECT_EQ(out[0], c.text.back()) << "the row of the end symbol comes first";
    EXPECT_EQ(InverseBwt(out, primary), c.text);
  }
  std::mt19937 rng(4);
  std::vector<int32_t> symbols(2000);
  for (auto& s : symbols) s = static_cast<int32_t>(rng() % 300);
  std::vector<int32_t> out(symbols.size());
  std::vector<int32_t> work(symbols.size());
  int primary = BuildBwtInt(symbols.data(), out.data(), work.data(),
                            static_cast<int32_t>(symbols.size()), 300);
  ASSERT_GE(primary, 1);
  EXPECT_EQ(InverseBwt(out, primary), symbols);
}

}  // namespace
