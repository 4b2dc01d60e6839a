#include <gtest/gtest.h>

#include <sys/resource.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "deps/voxpatch/logcapture.h"
#include "deps/voxpatch/testbytes.h"
#include "lzmaioout.h"
#include "streams.h"

using namespace voxpatch;

namespace {

using voxpatch_test::Bytes;
using voxpatch_test::Contents;
using voxpatch_test::Random;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif
#else
constexpr bool kAddressSanitizer = false;
#endif


Bytes Varint(uint32_t v) {
  ByteWriter w;
  w.PutVarint(v);
  return Contents(w);
}

// Payload kinds that exercise literals, matches and chunk boundaries.
Bytes MakePayload(size_t n, int kind, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) {
    switch (kind) {
      case 0:  // random
        b[i] = static_cast<uint8_t>(rng());
        break;
      case 1:  // text-like with repeats
        b[i] = static_cast<uint8_t>("the quick brown fox jumps "[(i * 7 + i / 13) % 26]);
        break;
      default:  // runs of random bytes and zeros
        b[i] = (i / 4096) % 2 ? 0 : static_cast<uint8_t>(rng());
        break;
    }
  }
  return b;
}

// A block of stored (uncompressed) LZMA2 chunks followed by the end marker.
Bytes StoredBlock(uint8_t property, uint32_t declared, const std::vector<std::string>& chunks,
                  bool end_marker = true) {
  Bytes b = {property};
  Bytes size = Varint(declared);
  b.insert(b.end(), size.begin(), size.end());
  bool first = true;
  for (const std::string& c : chunks) {
    b.push_back(first ? 0x01 : 0x02);  // stored chunk, with a dictionary reset first
    first = false;
    b.push_back(static_cast<uint8_t>((c.size() - 1) >> 8));
    b.push_back(static_cast<uint8_t>(c.size() - 1));
    b.insert(b.end(), c.begin(), c.end());
  }
  if (end_marker) b.push_back(0x00);
  return b;
}

Bytes Encode(const Bytes& data) {
  ByteWriter w;
  EXPECT_TRUE(WriteLzma2Block(data.data(), data.size(), &w));
  return Contents(w);
}

TEST(Lzma2Block, RoundTripsKeepPropertyByteAndSize) {
  struct Case {
    size_t size;
    int kind;
  };
  const std::vector<Case> cases = {{0, 0}, {1, 0}, {17, 1}, {1000, 0},
                                   {70000, 1}, {300000, 2}, {(2u << 20) + 300000, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes payload = MakePayload(c.size, c.kind, static_cast<uint32_t>(c.size));
    Bytes block;
    if (c.kind == 1) {
      // The stream form encodes what is left in its source and reads it to
      // the end.
      ByteReader input(payload.data(), payload.size());
      ByteWriter w;
      ASSERT_TRUE(WriteLzma2Block(&input, &w));
      EXPECT_TRUE(input.Empty());
      block = Contents(w);
    } else {
      block = Encode(payload);
    }
    ASSERT_GE(block.size(), 3u);
    EXPECT_EQ(block[0], 0x1C) << "64 MiB dictionary property";
    const Bytes size = Varint(static_cast<uint32_t>(c.size));
    EXPECT_TRUE(std::equal(size.begin(), size.end(), block.begin() + 1));
    EXPECT_EQ(block.back(), 0x00) << "ends with the end marker";
    if (c.kind == 1) {
      EXPECT_LT(block.size(), c.size / 4 + 64) << "compresses";
    }

    ByteReader source(block.data(), block.size());
    ByteWriter out;
    ASSERT_TRUE(ReadLzma2Block(&source, &out));
    EXPECT_TRUE(source.Empty());
    EXPECT_TRUE(Contents(out) == payload);
  }
}

TEST(Lzma2Block, EmptyBlockIsThreeBytes) {
  const Bytes block = {0x1C, 0x00, 0x00, 0xAB};
  ByteReader source(block.data(), block.size());
  ByteWriter out;
  ASSERT_TRUE(out.Write("keep", 4));
  ASSERT_TRUE(ReadLzma2Block(&source, &out));
  EXPECT_EQ(out.Length(), 4u);
  EXPECT_EQ(source.BytesLeft(), 1u) << "consumed exactly property, size and end marker";
  EXPECT_EQ(Encode({}), (Bytes{0x1C, 0x00, 0x00}));
}

TEST(Lzma2Block, BackToBackBlocksAppendBehindExistingBytes) {
  const Bytes a = MakePayload(3000, 0, 1);
  const Bytes b = MakePayload(4000, 1, 2);
  ByteWriter stream;
  ASSERT_TRUE(WriteLzma2Block(a.data(), a.size(), &stream));
  const size_t first_length = stream.Length();
  ASSERT_TRUE(WriteLzma2Block(b.data(), b.size(), &stream));
  ASSERT_TRUE(stream.Write("tail", 4));

  ByteReader source;
  source.Attach(stream);
  ByteWriter out;
  ASSERT_TRUE(out.Write("prefix", 6));
  ASSERT_TRUE(ReadLzma2Block(&source, &out));
  EXPECT_EQ(source.BytesLeft(), stream.Length() - first_length);
  ASSERT_TRUE(ReadLzma2Block(&source, &out));
  EXPECT_EQ(source.BytesLeft(), 4u);
  Bytes expected = {'p', 'r', 'e', 'f', 'i', 'x'};
  expected.insert(expected.end(), a.begin(), a.end());
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(Contents(out), expected);
}

TEST(Lzma2Block, LargeBlockOfManyChunksDecodes) {
  // 6 MiB in 64 KiB stored chunks: the output spans many decoder rounds and
  // large-buffer handling.
  const Bytes payload = MakePayload(6u << 20, 0, 21);
  std::vector<std::string> chunks;
  for (size_t at = 0; at < payload.size(); at += 65536)
    chunks.emplace_back(payload.begin() + at, payload.begin() + at + 65536);
  const Bytes block = StoredBlock(28, static_cast<uint32_t>(payload.size()), chunks);
  ByteReader source(block.data(), block.size());
  ByteWriter out;
  ASSERT_TRUE(ReadLzma2Block(&source, &out));
  EXPECT_TRUE(source.Empty());
  EXPECT_TRUE(Contents(out) == payload);
}

TEST(Lzma2Block, MalformedBlocksFailWithTheirMessages) {
  struct Case {
    const char* name;
    Bytes block;
    const char* message;
  };
  Bytes cut = StoredBlock(0, 11, {"hello", " world"});
  cut.resize(cut.size() - 4);
  const std::vector<Case> cases = {
      {"empty source", {}, "Error read LZMA2 properties"},
      {"only property", {0x1C}, "Error read LZMA2 unpack size"},
      {"unfinished size", {0x1C, 0x80}, "Error read LZMA2 unpack size"},
      {"declared one more", StoredBlock(0, 6, {"hello"}), "Error uncompressing data 0"},
      {"declared one less", StoredBlock(0, 4, {"hello"}), "Error uncompressing data 1"},
      {"declared far beyond the data", StoredBlock(0, 0xFFFFFFFFu, {"hello"}),
       "Error uncompressing data 0"},
      {"cut block declaring 4 GiB", StoredBlock(40, 0xFFFFFFFFu, {"hello"}, false),
       "Error uncompressing data 6"},
      {"cut inside chunks", cut, "Error uncompressing data 6"},
      {"no end marker", StoredBlock(0, 5, {"hello"}, false), "Error uncompressing data 6"},
      {"property 41", StoredBlock(41, 5, {"hello"}), "Error uncompressing data 4"},
      {"property 255", StoredBlock(255, 5, {"hello"}), "Error uncompressing data 4"},
      {"bad control byte", {0x00, 0x05, 0x03, 0x00}, "Error uncompressing data 1"},
      {"first chunk without reset", {0x00, 0x02, 0x02, 0x00, 0x01, 'a', 'b', 0x00},
       "Error uncompressing data 1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    ByteReader source(c.block.data(), c.block.size());
    ByteWriter out;
    ASSERT_TRUE(out.Write("xy", 2));
    EXPECT_FALSE(ReadLzma2Block(&source, &out));
    EXPECT_EQ(out.Length(), 2u) << "destination length unchanged";
    EXPECT_EQ(out.Buffer()[0], 'x');
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, c.message);
    EXPECT_EQ(lines[0].level, 1);
  }
}

TEST(Lzma2Block, EveryTruncationFailsCleanly) {
  const Bytes payload = MakePayload(6000, 2, 9);
  const Bytes block = Encode(payload);
  for (size_t cut = 0; cut < block.size(); ++cut) {
    ByteReader source(block.data(), cut);
    ByteWriter out;
    EXPECT_FALSE(ReadLzma2Block(&source, &out)) << cut;
    EXPECT_EQ(out.Length(), 0u);
  }
}

TEST(Lzma2Block, CorruptedBlocksNeverCrash) {
  const Bytes payload = MakePayload(20000, 1, 5);
  const Bytes block = Encode(payload);
  std::mt19937 rng(11);
  int failures = 0;
  for (int round = 0; round < 300; ++round) {
    Bytes broken = block;
    for (int k = 0; k < 3; ++k) broken[2 + rng() % (broken.size() - 2)] ^= 1u << (rng() % 8);
    ByteReader source(broken.data(), broken.size());
    ByteWriter out;
    if (!ReadLzma2Block(&source, &out)) {
      ++failures;
      EXPECT_EQ(out.Length(), 0u);
    } else {
      EXPECT_EQ(out.Length(), payload.size());
    }
  }
  EXPECT_GT(failures, 0);
}

// Child-process bodies of the two memory tests; each ends the process with
// status 0 when the expectation holds.
void DecodeLargestPropertyUnderLimit() {
  struct rlimit limit = {512u << 20, 512u << 20};
  setrlimit(RLIMIT_AS, &limit);
  const Bytes block = StoredBlock(40, 5, {"hello"});
  ByteReader source(block.data(), block.size());
  ByteWriter out;
  bool ok = ReadLzma2Block(&source, &out) && out.Length() == 5;
  std::exit(ok ? 0 : 3);
}

void DecodeHostileSize(uint8_t property) {
  const Bytes block = StoredBlock(property, 0xFFFFFFFFu, {"hello"});
  struct rusage before;
  getrusage(RUSAGE_SELF, &before);
  ByteReader source(block.data(), block.size());
  ByteWriter out;
  bool ok = ReadLzma2Block(&source, &out);
  struct rusage after;
  getrusage(RUSAGE_SELF, &after);
  long grown_kib = after.ru_maxrss - before.ru_maxrss;
  std::exit(!ok && grown_kib < 64 * 1024 ? 0 : 3);
}

TEST(Lzma2Block, LargestPropertyNeedsNoHugeDictionary) {
  if (kAddressSanitizer) GTEST_SKIP() << "address-space limit conflicts with the sanitizer";
  // Property 40 announces a 4 GiB dictionary; a 5-byte block must decode
  // with an address-space limit far below that.
  EXPECT_EXIT(DecodeLargestPropertyUnderLimit(), ::testing::ExitedWithCode(0), "");
}

TEST(Lzma2Block, HostileDeclaredSizeFailsWithoutTouchingMemory) {
  if (kAddressSanitizer) GTEST_SKIP() << "resident-size figures differ under the sanitizer";
  EXPECT_EXIT(DecodeHostileSize(28), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(DecodeHostileSize(40), ::testing::ExitedWithCode(0), "");
}

TEST(Lzma2Block, DictionarySizeOfPropertyByte) {
  EXPECT_EQ(Lzma2DictionarySize(0), 4096u);
  EXPECT_EQ(Lzma2DictionarySize(1), 6144u);
  EXPECT_EQ(Lzma2DictionarySize(28), 64u << 20);
  EXPECT_EQ(Lzma2DictionarySize(39), 3u << 30);
  EXPECT_EQ(Lzma2DictionarySize(40), 0xFFFFFFFFu);
  EXPECT_EQ(Lzma2DictionarySize(41), 0u);
}

TEST(Lzma2Block, DecodesInTwoThreadsAtOnce) {
  const Bytes a = MakePayload(400000, 1, 1);
  const Bytes b = MakePayload(400000, 2, 2);
  const Bytes block_a = Encode(a);
  const Bytes block_b = Encode(b);
  std::atomic<int> bad{0};
  auto worker = [&bad](const Bytes* block, const Bytes* expected) {
    for (int i = 0; i < 5; ++i) {
      ByteReader source(block->data(), block->size());
      ByteWriter out;
      if (!ReadLzma2Block(&source, &out) || Contents(out) != *expected) ++bad;
    }
  };
  std::thread ta(worker, &block_a, &a);
  std::thread tb(worker, &block_b, &b);
  ta.join();
  tb.join();
  EXPECT_EQ(bad.load(), 0);
}

}  // namespace
