#include "suffixarray.h"

#include <cstdlib>
#include <cstring>

namespace voxpatch {

namespace {

// One bit per position: set for S-type suffixes (smaller than the suffix
// that follows), clear for L-type ones.  The text is treated as followed by
// a unique smallest end symbol that is never stored.
class SuffixTypes {
 public:
  explicit SuffixTypes(int32_t n)
      : bits_(static_cast<uint8_t*>(std::calloc(static_cast<size_t>(n) / 8 + 1, 1))),
        n_(n) {}
  ~SuffixTypes() { std::free(bits_); }
  SuffixTypes(const SuffixTypes&) = delete;
  SuffixTypes& operator=(const SuffixTypes&) = delete;

  bool ok() const { return bits_ != nullptr; }
  bool IsS(int32_t i) const { return (bits_[i >> 3] >> (i & 7)) & 1; }
  void SetS(int32_t i) { bits_[i >> 3] |= static_cast<uint8_t>(1u << (i & 7)); }
  // Leftmost S-type position: an S-type suffix right behind an L-type one.
  bool IsLms(int32_t i) const { return i > 0 && i < n_ && IsS(i) && !IsS(i - 1); }

 private:
  uint8_t* bits_;
  int32_t n_;
};

template <typename Sym>
void GetBuckets(const Sym* text, int32_t n, int32_t* buckets, int32_t k,
                bool ends) {
  std::memset(buckets, 0, sizeof(int32_t) * static_cast<size_t>(k));
  for (int32_t i = 0; i < n; ++i) ++buckets[text[i]];
  int32_t sum = 0;
  for (int32_t c = 0; c < k; ++c) {
    int32_t count = buckets[c];
    sum += count;
    buckets[c] = ends ? sum : sum - count;
  }
}

template <typename Sym>
void InduceL(const Sym* text, int32_t* sa, const SuffixTypes& types,
             int32_t* buckets, int32_t n, int32_t k) {
  GetBuckets(text, n, buckets, k, false);
  // The suffix in front of the end symbol comes first in its bucket.
  sa[buckets[text[n - 1]]++] = n - 1;
  for (int32_t i = 0; i < n; ++i) {
    int32_t j = sa[i] - 1;
    if (sa[i] > 0 && !types.IsS(j)) sa[buckets[text[j]]++] = j;
  }
}

template <typename Sym>
void InduceS(const Sym* text, int32_t* sa, const SuffixTypes& types,
             int32_t* buckets, int32_t n, int32_t k) {
  GetBuckets(text, n, buckets, k, true);
  for (int32_t i = n - 1; i >= 0; --i) {
    int32_t j = sa[i] - 1;
    if (sa[i] > 0 && types.IsS(j)) sa[--buckets[text[j]]] = j;
  }
}

template <typename Sym>
int SuffixSort(const Sym* text, int32_t* sa, int32_t n, int32_t k) {
  if (n == 0) return 0;
  if (n == 1) {
    sa[0] = 0;
    return 0;
  }
  SuffixTypes types(n);
  int32_t* buckets =
      static_cast<int32_t*>(std::malloc(sizeof(int32_t) * static_cast<size_t>(k)));
  if (!types.ok() || buckets == nullptr) {
    std::free(buckets);
    return -2;
  }
  // Position n-1 is L-type: it is larger than the end symbol behind it.
  for (int32_t i = n - 2; i >= 0; --i) {
    if (text[i] < text[i + 1] || (text[i] == text[i + 1] && types.IsS(i + 1)))
      types.SetS(i);
  }

  // Stage 1: sort the LMS substrings by induction from unsorted seeds.
  GetBuckets(text, n, buckets, k, true);
  for (int32_t i = 0; i < n; ++i) sa[i] = -1;
  for (int32_t i = 1; i < n; ++i) {
    if (types.IsLms(i)) sa[--buckets[text[i]]] = i;
  }
  InduceL(text, sa, types, buckets, n, k);
  InduceS(text, sa, types, buckets, n, k);

  // Gather the sorted LMS positions at the front.
  int32_t m = 0;
  for (int32_t i = 0; i < n; ++i) {
    if (types.IsLms(sa[i])) sa[m++] = sa[i];
  }
  // Name the LMS substrings; equal substrings share a name.  No two LMS
  // positions are adjacent, so m + pos / 2 stays below n.
  for (int32_t i = m; i < n; ++i) sa[i] = -1;
  int32_t names = 0;
  int32_t prev = -1;
  for (int32_t i = 0; i < m; ++i) {
    int32_t pos = sa[i];
    bool differs = prev < 0;
    for (int32_t d = 0; !differs; ++d) {
      if (pos + d == n || prev + d == n || text[pos + d] != text[prev + d] ||
          types.IsS(pos + d) != types.IsS(prev + d)) {
        differs = true;
      } else if (d > 0 && (types.IsLms(pos + d) || types.IsLms(prev + d))) {
        break;
      }
    }
    if (differs) {
      ++names;
      prev = pos;
    }
    sa[m + pos / 2] = names - 1;
  }
  for (int32_t i = n - 1, j = n - 1; i >= m; --i) {
    if (sa[i] >= 0) sa[j--] = sa[i];
  }

  // Stage 2: sort the reduced string, recursively when names repeat.
  int32_t* reduced = sa + n - m;
  if (names < m) {
    int result = SuffixSort<int32_t>(reduced, sa, m, names);
    if (result != 0) {
      std::free(buckets);
      return result;
    }
  } else {
    for (int32_t i = 0; i < m; ++i) sa[reduced[i]] = i;
  }

  // Stage 3: place the sorted LMS suffixes and induce the rest.
  for (int32_t i = 1, j = 0; i < n; ++i) {
    if (types.IsLms(i)) reduced[j++] = i;
  }
  for (int32_t i = 0; i < m; ++i) sa[i] = reduced[sa[i]];
  for (int32_t i = m; i < n; ++i) sa[i] = -1;
  GetBuckets(text, n, buckets, k, true);
  for (int32_t i = m - 1; i >= 0; --i) {
    int32_t j = sa[i];
    sa[i] = -1;
    sa[--buckets[text[j]]] = j;
  }
  InduceL(text, sa, types, buckets, n, k);
  InduceS(text, sa, types, buckets, n, k);
  std::free(buckets);
  return 0;
}

bool SymbolsInRange(const int32_t* symbols, int32_t length, int32_t k) {
  for (int32_t i = 0; i < length; ++i) {
    if (symbols[i] < 0 || symbols[i] >= k) return false;
  }
  return true;
}

template <typename Sym>
int Transform(const Sym* text, Sym* output, int32_t* work, int32_t n,
              int32_t k) {
  if (n == 0) return 0;
  int result = SuffixSort(text, work, n, k);
  if (result != 0) return result;
  int32_t primary = 0;
  output[0] = text[n - 1];
  for (int32_t i = 0, j = 1; i < n; ++i) {
    if (work[i] == 0)
      primary = i + 1;
    else
      output[j++] = text[work[i] - 1];
  }
  return primary;
}

}  // namespace

int BuildSuffixArray(const uint8_t* bytes, int32_t* suffixes, int32_t length) {
  if (bytes == nullptr || suffixes == nullptr || length < 0) return -1;
  return SuffixSort(bytes, suffixes, length, 256);
}

int BuildSuffixArrayInt(const int32_t* symbols, int32_t* suffixes,
                        int32_t length, int32_t alphabet_size) {
  if (symbols == nullptr || suffixes == nullptr || length < 0 ||
      alphabet_size <= 0 || !SymbolsInRange(symbols, length, alphabet_size))
    return -1;
  return SuffixSort(symbols, suffixes, length, alphabet_size);
}

int BuildBwt(const uint8_t* bytes, uint8_t* output, int32_t* work,
             int32_t length) {
  if (bytes == nullptr || output == nullptr || work == nullptr || length < 0)
    return -1;
  return Transform(bytes, output, work, length, 256);
}

int BuildBwtInt(const int32_t* symbols, int32_t* output, int32_t* work,
                int32_t length, int32_t alphabet_size) {
  if (symbols == nullptr || output == nullptr || work == nullptr ||
      length < 0 || alphabet_size <= 0 ||
      !SymbolsInRange(symbols, length, alphabet_size))
    return -1;
  return Transform(symbols, output, work, length, alphabet_size);
}

}  // namespace voxpatch
