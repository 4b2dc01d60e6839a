// Stream-by-stream decoding of a patch body: any order, after letting the
// decoder go, and bodies whose set header does not fit the block.

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "deps/voxpatch/testbytes.h"
#include "lzmaioout.h"
#include "patchbodyreader.h"
#include "streambundlewriter.h"

using namespace voxpatch;
using voxpatch_test::Bytes;
using voxpatch_test::Contents;
using voxpatch_test::Random;

namespace {

Bytes FlatSet(const std::vector<Bytes>& streams) {
  StreamBundleWriter set;
  set.SetCount(streams.size());
  for (size_t i = 0; i < streams.size(); ++i)
    set.stream(i)->Write(streams[i].data(), streams[i].size());
  ByteWriter flat;
  EXPECT_TRUE(set.SerializeTo(&flat));
  return Contents(flat);
}

Bytes Block(const Bytes& body) {
  ByteWriter block;
  EXPECT_TRUE(WriteLzma2Block(body.data(), body.size(), &block));
  return Contents(block);
}

Bytes Stream(PatchBodyReader* body, size_t i) {
  ByteWriter out;
  EXPECT_TRUE(body->ReadStream(i, &out)) << i;
  return Contents(out);
}

}  // namespace

TEST(PatchBodyReader, StreamsInAnyOrderAndAfterSuspending) {
  const std::vector<Bytes> streams = {Random(10, 1), {}, Random(300000, 2), Random(5000, 3),
                                      Random(70000, 4)};
  const Bytes block = Block(FlatSet(streams));
  PatchBodyReader body;
  ASSERT_TRUE(body.Open(ByteReader(block.data(), block.size())));
  ASSERT_EQ(streams.size(), body.count());
  for (size_t i = 0; i < streams.size(); ++i) EXPECT_EQ(streams[i].size(), body.stream_length(i));

  // Forwards, backwards (the block is decoded again), after suspending.
  for (size_t i : {0, 1, 2}) EXPECT_EQ(streams[i], Stream(&body, i)) << i;
  EXPECT_EQ(streams[4], Stream(&body, 4));
  EXPECT_EQ(streams[3], Stream(&body, 3));
  body.Suspend();
  EXPECT_EQ(streams[2], Stream(&body, 2));
  body.Suspend();
  EXPECT_TRUE(body.Finish());
  ByteWriter none;
  EXPECT_FALSE(body.ReadStream(5, &none));
}

TEST(PatchBodyReader, RefusesBodiesThatAreNotOneSet) {
  const Bytes set = FlatSet({Random(100, 5), Random(200, 6), {}, Random(50, 7)});
  Bytes wrong_magic = set;
  wrong_magic[0] ^= 1;
  Bytes eleven_streams = FlatSet({});
  eleven_streams[eleven_streams.size() - 1] = 11;  // the count, last byte of an empty set
  Bytes with_trailing = set;
  with_trailing.push_back(0);
  const Bytes short_of_lengths(set.begin(), set.end() - 1);
  struct Case {
    const char* label;
    Bytes body;
  };
  for (const Case& c : std::vector<Case>{{"wrong_magic", wrong_magic},
                                         {"eleven_streams", eleven_streams},
                                         {"bytes_after_the_streams", with_trailing},
                                         {"streams_cut_short", short_of_lengths},
                                         {"header_cut", Bytes(set.begin(), set.begin() + 5)}}) {
    const Bytes block = Block(c.body);
    PatchBodyReader body;
    EXPECT_FALSE(body.Open(ByteReader(block.data(), block.size()))) << c.label;
  }
}

TEST(PatchBodyReader, DamageBehindTheStreamsReadSoFarShowsAtFinish) {
  const std::vector<Bytes> streams = {Random(100, 8), Random(100, 9), Random(400000, 10),
                                      Random(400000, 11)};
  const Bytes block = Block(FlatSet(streams));
  // Cut the block's last bytes: its front still decodes.
  const Bytes cut(block.begin(), block.end() - 64);
  PatchBodyReader body;
  ASSERT_TRUE(body.Open(ByteReader(cut.data(), cut.size())));
  EXPECT_EQ(streams[0], Stream(&body, 0));
  EXPECT_EQ(streams[1], Stream(&body, 1));
  EXPECT_FALSE(body.Finish());
}
