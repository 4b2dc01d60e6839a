// Piecewise decoding of LZMA2 blocks: pieces, skips, reopening, the end
// check, and damaged or lying blocks.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "deps/voxpatch/logcapture.h"
#include "deps/voxpatch/testbytes.h"
#include "lzma2blockreader.h"
#include "lzmaioout.h"

using namespace voxpatch;
using voxpatch_test::Bytes;
using voxpatch_test::Contents;
using voxpatch_test::Random;

namespace {

// Text-like data with long repeats, so that matches reach far back.
Bytes Sample(size_t n) {
  Bytes data = Random(n, 11);
  for (size_t i = 4096; i < n; ++i) {
    if ((i / 1000) % 3 == 0) data[i] = data[i - 4096];
  }
  return data;
}

// A block taken apart: property byte, declared size, the chunks behind.
struct BlockParts {
  uint8_t property = 0;
  uint32_t declared = 0;
  Bytes chunks;
};

BlockParts Split(const Bytes& block) {
  ByteReader header(block.data(), block.size());
  BlockParts parts;
  EXPECT_TRUE(header.Read(&parts.property, 1) && header.GetVarint(&parts.declared));
  parts.chunks.assign(header.Position(), block.data() + block.size());
  return parts;
}

Bytes Join(uint8_t property, uint32_t declared, const Bytes& chunks) {
  ByteWriter w;
  w.Write(&property, 1);
  w.PutVarint(declared);
  w.Write(chunks.data(), chunks.size());
  return Contents(w);
}

Bytes Block(const Bytes& data) {
  ByteWriter block;
  EXPECT_TRUE(WriteLzma2Block(data.data(), data.size(), &block));
  return Contents(block);
}

// Reads the whole block in pieces of the given sizes (cycling).
Bytes ReadInPieces(const Bytes& block, const std::vector<size_t>& pieces) {
  Lzma2BlockReader reader;
  ByteReader source(block.data(), block.size());
  EXPECT_TRUE(reader.Open(source));
  ByteWriter out;
  size_t k = 0;
  while (reader.position() < reader.declared_size()) {
    size_t n = pieces[k++ % pieces.size()];
    if (n > reader.declared_size() - reader.position())
      n = static_cast<size_t>(reader.declared_size() - reader.position());
    if (!reader.Read(n, &out)) {
      ADD_FAILURE() << "piece at " << reader.position();
      break;
    }
  }
  size_t length = 0;
  EXPECT_TRUE(reader.Finish(&length));
  EXPECT_EQ(block.size(), length);
  return Contents(out);
}

}  // namespace

TEST(Lzma2BlockReader, PiecesOfAnySizeGiveTheWholeData) {
  const Bytes data = Sample(700000);
  const Bytes block = Block(data);
  const std::vector<std::vector<size_t>> patterns = {
      {data.size()}, {1}, {7, 1, 4096}, {(256u << 10) - 1}, {(256u << 10) + 3, 5}};
  for (const auto& pattern : patterns) {
    if (pattern[0] == 1) {
      // Byte by byte over a short block only; it is slow by nature.
      const Bytes small(data.begin(), data.begin() + 5000);
      EXPECT_EQ(small, ReadInPieces(Block(small), pattern));
      continue;
    }
    EXPECT_EQ(data, ReadInPieces(block, pattern)) << pattern[0];
  }
}

TEST(Lzma2BlockReader, SkipsAndReopens) {
  const Bytes data = Sample(600000);
  const Bytes block = Block(data);
  ByteReader source(block.data(), block.size());
  Lzma2BlockReader reader;
  ASSERT_TRUE(reader.Open(source));
  EXPECT_EQ(data.size(), reader.declared_size());

  // Skip, read a window, skip again, read the tail.
  ASSERT_TRUE(reader.Skip(300001));
  ByteWriter window;
  ASSERT_TRUE(reader.Read(1000, &window));
  EXPECT_EQ(Bytes(data.begin() + 300001, data.begin() + 301001), Contents(window));
  ASSERT_TRUE(reader.Skip(200000));
  uint8_t tail[98999];
  ASSERT_TRUE(reader.ReadInto(tail, sizeof tail));
  EXPECT_EQ(Bytes(data.end() - sizeof tail, data.end()), Bytes(tail, tail + sizeof tail));
  size_t length = 0;
  ASSERT_TRUE(reader.Finish(&length));
  EXPECT_EQ(block.size(), length);

  // Opened again (also after Close), it starts over.
  for (bool close_first : {false, true}) {
    if (close_first) reader.Close();
    EXPECT_FALSE(close_first && reader.IsOpen());
    ASSERT_TRUE(reader.Open(source));
    EXPECT_EQ(0u, reader.position());
    ByteWriter head;
    ASSERT_TRUE(reader.Read(10, &head));
    EXPECT_EQ(Bytes(data.begin(), data.begin() + 10), Contents(head));
  }
}

TEST(Lzma2BlockReader, RefusesToGoPastTheDeclaredSizeOrFinishEarly) {
  const Bytes data = Sample(5000);
  const Bytes block = Block(data);
  ByteReader source(block.data(), block.size());
  {
    Lzma2BlockReader reader;
    ASSERT_TRUE(reader.Open(source));
    ByteWriter out;
    EXPECT_FALSE(reader.Read(5001, &out));
    EXPECT_EQ(0u, out.Length());
  }
  {
    Lzma2BlockReader reader;
    ASSERT_TRUE(reader.Open(source));
    ASSERT_TRUE(reader.Skip(4999));
    size_t length = 0;
    EXPECT_FALSE(reader.Finish(&length));
    // A failed reader stays failed.
    EXPECT_FALSE(reader.Skip(1));
  }
}

TEST(Lzma2BlockReader, DamagedAndLyingBlocks) {
  const Bytes data = Sample(300000);
  const Bytes block = Block(data);
  const BlockParts parts = Split(block);
  const uint8_t property = parts.property;
  const uint32_t declared = parts.declared;
  auto with_size = [&](uint32_t size) { return Join(property, size, parts.chunks); };

  struct Case {
    const char* label;
    Bytes block;
    bool opens;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"empty", {}, false, "Error read LZMA2 properties"},
      {"no_size", {property}, false, "Error read LZMA2 unpack size"},
      {"property_41", {41, 0}, false, "Error uncompressing data 4"},
      // Declares one byte less than it holds: the end check finds the rest.
      {"more_than_declared", with_size(declared - 1), true, "Error uncompressing data 1"},
      {"twice_what_it_declares", with_size(declared / 2), true, "Error uncompressing data 1"},
      // Declares one byte more: the block ends first.
      {"less_than_declared", with_size(declared + 1), true, "Error uncompressing data 0"},
      {"cut_short", Bytes(block.begin(), block.end() - 40), true, "Error uncompressing data 6"},
  };
  for (const Case& c : cases) {
    LogCapture log;
    Lzma2BlockReader reader;
    ByteReader source(c.block.data(), c.block.size());
    const bool opened = reader.Open(source);
    EXPECT_EQ(c.opens, opened) << c.label;
    if (opened) {
      ByteWriter out;
      size_t length = 0;
      EXPECT_FALSE(reader.Read(static_cast<size_t>(reader.declared_size()), &out) &&
                   reader.Finish(&length))
          << c.label;
    }
    EXPECT_TRUE(log.contains(c.message)) << c.label;
    // One failure, one line.
    EXPECT_EQ(1u, log.lines().size()) << c.label;
  }
}

TEST(Lzma2BlockReader, AHugeDeclaredSizeIsBoundedByTheInput) {
  // A tiny block claiming 4 GiB - 1: the bound is what its input can hold.
  const Bytes data = Sample(1000);
  const Bytes block = Block(data);
  const Bytes bytes = Join(kLzma2MaxProperty, 0xFFFFFFFFu, Split(block).chunks);
  Lzma2BlockReader reader;
  ByteReader source(bytes.data(), bytes.size());
  ASSERT_TRUE(reader.Open(source));
  EXPECT_FALSE(reader.Skip(reader.declared_size()));
  EXPECT_EQ(data.size(), reader.position());
  EXPECT_EQ(kLzma2Ok, reader.error());  // it ended short of its size
}
