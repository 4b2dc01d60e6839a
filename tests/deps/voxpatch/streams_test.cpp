#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "deps/voxpatch/logcapture.h"
#include "log.h"
#include "deps/voxpatch/testbytes.h"
#include "streams.h"

using namespace voxpatch;

namespace {

using voxpatch_test::Bytes;
using voxpatch_test::Contents;
using voxpatch_test::Random;



// Straightforward bit-by-bit CRC-32 register without the final inversion.
uint32_t ReferenceCrc(const uint8_t* data, size_t n) {
  uint32_t crc = 0xFFFFFFFFu;
  for (size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

// ---------------------------------------------------------------- varints

struct DecodeCase {
  Bytes input;
  bool ok;
  uint32_t value;
  size_t consumed;
  bool canonical;  // the first consumed bytes are what the writer emits
};

TEST(Varint, KnownAnswers) {
  const std::vector<DecodeCase> cases = {
      {{0x00}, true, 0, 1, true},
      {{0x7F}, true, 127, 1, true},
      {{0x80, 0x01}, true, 128, 2, true},
      {{0xAC, 0x02}, true, 300, 2, true},
      {{0xFF, 0x7F}, true, 16383, 2, true},
      {{0x80, 0x80, 0x01}, true, 16384, 3, true},
      {{0xEA, 0x9A, 0xCA, 0x09}, true, 20090218, 4, true},
      {{0xFF, 0xFF, 0xFF, 0xFF, 0x0F}, true, 4294967295u, 5, true},
      {{0x80, 0x80, 0x80, 0x80, 0x0F}, true, 4026531840u, 5, true},
      // Bits 4 to 6 of the fifth byte are dropped.
      {{0x80, 0x80, 0x80, 0x80, 0x7F}, true, 4026531840u, 5, false},
      // A varint never takes a sixth byte; trailing bytes stay unread.
      {{0x05, 0x99}, true, 5, 1, true},
      {{0x80, 0x80, 0x80, 0x80, 0x80}, false, 0, 0, false},
      {{0x80, 0x80, 0x80, 0x80, 0x80, 0x00}, false, 0, 0, false},
      {{0x80}, false, 0, 0, false},
      {{0xFF, 0xFF, 0xFF, 0xFF}, false, 0, 0, false},
      {{}, false, 0, 0, false},
  };
  for (const DecodeCase& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.input));
    uint32_t value = 0xDEADBEEF;
    const uint8_t* end = c.input.data() + c.input.size();
    const uint8_t* next = DecodeVarint(c.input.data(), end, &value);
    if (c.ok) {
      ASSERT_NE(next, nullptr);
      EXPECT_EQ(value, c.value);
      EXPECT_EQ(static_cast<size_t>(next - c.input.data()), c.consumed);
    } else {
      EXPECT_EQ(next, nullptr);
      EXPECT_EQ(value, 0xDEADBEEFu) << "value written on failure";
    }
    // The reader form consumes the same bytes and stays put on failure.
    ByteReader reader(c.input.data(), c.input.size());
    uint32_t via_reader = 0xDEADBEEF;
    EXPECT_EQ(reader.GetVarint(&via_reader), c.ok);
    if (c.ok) {
      EXPECT_EQ(via_reader, c.value);
      EXPECT_EQ(reader.BytesLeft(), c.input.size() - c.consumed);
    } else {
      EXPECT_EQ(reader.BytesLeft(), c.input.size());
      EXPECT_EQ(via_reader, 0xDEADBEEFu);
    }
    if (c.canonical) {
      const Bytes encoded(c.input.begin(), c.input.begin() + c.consumed);
      ByteWriter w;
      ASSERT_TRUE(w.PutVarint(c.value));
      EXPECT_EQ(Contents(w), encoded);
      ByteWriter sized;
      ASSERT_TRUE(sized.PutSizeVarint(c.value));
      EXPECT_EQ(Contents(sized), encoded);
    }
  }
}

TEST(Varint, SignedKnownAnswers) {
  const std::vector<std::pair<int32_t, Bytes>> cases = {
      {0, {0x00}},
      {-1, {0x01}},
      {1, {0x02}},
      {-2, {0x03}},
      {2, {0x04}},
      {-64, {0x7F}},
      {64, {0x80, 0x01}},
      {2147483647, {0xFE, 0xFF, 0xFF, 0xFF, 0x0F}},
      {std::numeric_limits<int32_t>::min(), {0xFF, 0xFF, 0xFF, 0xFF, 0x0F}},
  };
  for (const auto& c : cases) {
    ByteWriter w;
    ASSERT_TRUE(w.PutSignedVarint(c.first));
    EXPECT_EQ(Contents(w), c.second) << c.first;
    ByteReader r;
    r.Attach(w);
    int32_t back = 12345;
    ASSERT_TRUE(r.GetSignedVarint(&back));
    EXPECT_EQ(back, c.first);
    EXPECT_TRUE(r.Empty());
  }
}

TEST(Varint, OversizedSizeEndsProcessWithAssertion) {
  EXPECT_EXIT(
      {
        // Print the log line so the test can see it.
        struct Echo : LogBase {
          void notify() override {}
          void handleValue(void*) override {}
          void write(const std::string& m, int, std::string, uint64_t, std::string,
                     std::string) override {
            std::fprintf(stderr, "%s\n", m.c_str());
          }
        } echo;
        ByteWriter w;
        w.PutSizeVarint(uint64_t(1) << 32);
      },
      ::testing::ExitedWithCode(1),
      "Assertion \"value == narrowed_value\" failed at "
      "\\.\\./\\.\\./\\.\\./\\.\\./deps/voxpatch/src/lib/streams:209; ");
}

// ---------------------------------------------------------------- ByteReader

TEST(ByteReader, ReadSkipAndWindowsStayPutOnShortage) {
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
  ByteReader r(data.data(), data.size());
  uint8_t buf[16] = {};
  EXPECT_FALSE(r.Read(buf, 9));
  EXPECT_EQ(r.BytesLeft(), 8u);
  EXPECT_EQ(buf[0], 0);
  ASSERT_TRUE(r.Read(buf, 3));
  EXPECT_EQ(buf[2], 3);
  EXPECT_EQ(r.BytesLeft(), 5u);
  EXPECT_FALSE(r.Skip(6));
  EXPECT_EQ(r.BytesLeft(), 5u);

  ByteReader window;
  EXPECT_FALSE(r.TakeWindow(&window, 6));
  EXPECT_EQ(r.BytesLeft(), 5u);
  ASSERT_TRUE(r.TakeWindow(&window, 2));
  EXPECT_EQ(window.BytesLeft(), 2u);
  EXPECT_EQ(window.Position(), data.data() + 3) << "window must not copy";
  EXPECT_EQ(r.BytesLeft(), 3u);

  ByteReader sub;
  ASSERT_TRUE(r.SubReader(1, 2, &sub));
  EXPECT_EQ(sub.Position(), data.data() + 6);
  EXPECT_EQ(sub.BytesLeft(), 2u);
  EXPECT_EQ(r.BytesLeft(), 3u) << "SubReader does not move";
  EXPECT_TRUE(r.SubReader(3, 0, &sub));
  EXPECT_FALSE(r.SubReader(4, 0, &sub));
  EXPECT_FALSE(r.SubReader(1, 3, &sub));
  // offset + n would wrap around in size_t arithmetic.
  EXPECT_FALSE(r.SubReader(1, std::numeric_limits<size_t>::max(), &sub));

  ASSERT_TRUE(r.Skip(3));
  EXPECT_TRUE(r.Empty());
  EXPECT_TRUE(r.Read(buf, 0));
  EXPECT_TRUE(r.Skip(0));
}

// ---------------------------------------------------------------- buffers

TEST(GrowableArray, StartCapacityAndDoubling) {
  GrowableArray<uint8_t> bytes;
  ASSERT_TRUE(bytes.push_back(1));
  EXPECT_EQ(bytes.capacity(), 256u);
  GrowableArray<uint32_t> words;
  ASSERT_TRUE(words.push_back(1));
  EXPECT_EQ(words.capacity(), 64u);
  GrowableArray<uint64_t> longs;
  ASSERT_TRUE(longs.push_back(1));
  EXPECT_EQ(longs.capacity(), 32u);
  GrowableArray<void*> pointers;
  ASSERT_TRUE(pointers.reserve(1));
  EXPECT_EQ(pointers.capacity(), 256u / sizeof(void*));

  for (uint32_t i = 1; i < 65; ++i) ASSERT_TRUE(words.push_back(i * 3));
  EXPECT_EQ(words.size(), 65u);
  EXPECT_EQ(words.capacity(), 128u);
  for (uint32_t i = 1; i < 65; ++i) ASSERT_EQ(words[i], i * 3);

  std::vector<uint8_t> big(1000, 9);
  ASSERT_TRUE(bytes.append(big.data(), big.size()));
  EXPECT_EQ(bytes.size(), 1001u);
  EXPECT_EQ(bytes.capacity(), 1024u);
  EXPECT_EQ(bytes[1000], 9);
  EXPECT_EQ(bytes[0], 1);
}

TEST(GrowableArray, FailedAllocationIsSticky) {
  GrowableArray<uint32_t> a;
  ASSERT_TRUE(a.push_back(5));
  // Too many elements to count in bytes: refused like a failed allocation.
  EXPECT_FALSE(a.reserve(std::numeric_limits<size_t>::max() / 2));
  EXPECT_TRUE(a.failed());
  EXPECT_EQ(a.size(), 0u);
  EXPECT_FALSE(a.reserve(1));
  EXPECT_FALSE(a.push_back(1));
  uint32_t v = 1;
  EXPECT_FALSE(a.append(&v, 0));
  a.clear();
  EXPECT_TRUE(a.failed());
  EXPECT_FALSE(a.push_back(1));
}

TEST(GrowableArray, AppendCountBeyondMaximumFailsWithoutFailedState) {
  GrowableArray<uint32_t> a;
  ASSERT_TRUE(a.push_back(5));
  uint32_t v = 0;
  EXPECT_FALSE(a.append(&v, GrowableArray<uint32_t>::kMaxElements));
  EXPECT_FALSE(a.failed());
  EXPECT_EQ(a.size(), 1u);
  EXPECT_EQ(a[0], 5u);
}

TEST(ByteWriter, FailedSinkRefusesEverything) {
  ByteWriter w;
  ASSERT_TRUE(w.Write("abc", 3));
  EXPECT_FALSE(w.Reserve(std::numeric_limits<size_t>::max()));
  EXPECT_TRUE(w.Failed());
  EXPECT_EQ(w.Length(), 0u);
  EXPECT_FALSE(w.Write("x", 0));
  EXPECT_FALSE(w.Write("x", 1));
  EXPECT_FALSE(w.PutVarint(1));
  EXPECT_FALSE(w.Reserve(1));
  ByteWriter other;
  ASSERT_TRUE(other.Write("zz", 2));
  EXPECT_FALSE(w.Append(&other));
  EXPECT_EQ(other.Length(), 2u) << "source unchanged when the append fails";
  // A failed source lost its bytes: appending it must not pass for success.
  EXPECT_FALSE(other.Append(&w));
  EXPECT_EQ(other.Length(), 2u);
}

TEST(ByteWriter, ACapRefusesWhatWouldPassItAndKeepsTheSink) {
  // Every way of adding bytes, one byte within and one byte past a cap of
  // 1000 when 600 bytes are already held.
  const Bytes held = Random(600, 3);
  const Bytes more = Random(401, 4);
  struct Way {
    const char* name;
    std::function<bool(ByteWriter*, size_t)> add;  // adds n bytes
  };
  const std::vector<Way> ways = {
      {"Write", [&](ByteWriter* w, size_t n) { return w->Write(more.data(), n); }},
      {"Reserve", [&](ByteWriter* w, size_t n) { return w->Reserve(w->Length() + n); }},
      {"PrepareTail",
       [&](ByteWriter* w, size_t n) { return w->PrepareTail(n) != nullptr && w->CommitTail(n); }},
      {"Append",
       [&](ByteWriter* w, size_t n) {
         ByteWriter other;
         other.Write(more.data(), n);
         return w->Append(&other);
       }},
  };
  for (const Way& way : ways) {
    for (size_t n : {size_t{400}, size_t{401}}) {
      ByteWriter w;
      w.SetLimit(1000);
      ASSERT_TRUE(w.Write(held.data(), held.size()));
      EXPECT_EQ(w.Room(), 400u);
      EXPECT_EQ(way.add(&w, n), n == 400) << way.name << " " << n;
      EXPECT_FALSE(w.Failed()) << way.name;
      EXPECT_LE(w.Length() + w.TailCapacity(), 1000u) << way.name << ": nothing allocated past the cap";
      EXPECT_TRUE(std::equal(held.begin(), held.end(), w.Buffer())) << way.name;
      if (n == 401) EXPECT_EQ(w.Length(), 600u) << way.name;
    }
  }
}

TEST(ByteWriter, AppendMovesBytesAndEmptiesSource) {
  ByteWriter a;
  ByteWriter b;
  ASSERT_TRUE(a.Write("head", 4));
  ASSERT_TRUE(b.Write("tail", 4));
  ASSERT_TRUE(a.Append(&b));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.Buffer()), a.Length()), "headtail");
  EXPECT_EQ(b.Length(), 0u);
  EXPECT_FALSE(b.Failed());
  ASSERT_TRUE(b.Write("again", 5));
  EXPECT_EQ(b.Length(), 5u);
  a.ReleaseBuffer();
  EXPECT_EQ(a.Length(), 0u);
  EXPECT_TRUE(a.Write("x", 1));
}

TEST(ByteWriter, AppendIntoEmptySinkHandsTheBufferOver) {
  struct Case {
    const char* label;
    size_t target_reserve;  // 0: none
    bool target_written;    // written and then emptied again
    bool expect_handover;   // the source's buffer becomes the target's
  };
  const Case cases[] = {
      {"fresh", 0, false, true},
      {"smaller reservation", 64, false, true},
      {"emptied", 0, true, true},
      {"larger reservation kept", 1 << 16, false, false},
  };
  for (const Case& c : cases) {
    ByteWriter target;
    if (c.target_reserve != 0) {
      ASSERT_TRUE(target.Reserve(c.target_reserve));
    }
    if (c.target_written) {
      ASSERT_TRUE(target.Write("old", 3));
      target.ReleaseBuffer();
    }
    ByteWriter source;
    std::string payload(3000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(source.Write(payload.data(), payload.size()));
    const uint8_t* source_buffer = source.Buffer();
    const size_t reserved = target.Length() + target.TailCapacity();

    ASSERT_TRUE(target.Append(&source)) << c.label;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(target.Buffer()), target.Length()),
              payload)
        << c.label;
    EXPECT_EQ(source.Length(), 0u) << c.label;
    EXPECT_FALSE(source.Failed()) << c.label;
    EXPECT_EQ(c.expect_handover, target.Buffer() == source_buffer) << c.label;
    // A reservation made before is never lost.
    EXPECT_GE(target.Length() + target.TailCapacity(), reserved) << c.label;
    // Both stay usable.
    ASSERT_TRUE(target.Write("!", 1)) << c.label;
    EXPECT_EQ(target.Buffer()[payload.size()], '!') << c.label;
    ASSERT_TRUE(source.Write("s", 1)) << c.label;
    EXPECT_EQ(source.Length(), 1u) << c.label;
  }

  // Into a sink that holds bytes, they are copied behind them.
  ByteWriter head;
  ByteWriter tail;
  ASSERT_TRUE(head.Write("ab", 2));
  ASSERT_TRUE(tail.Write("cd", 2));
  const uint8_t* tail_buffer = tail.Buffer();
  ASSERT_TRUE(head.Append(&tail));
  EXPECT_NE(head.Buffer(), tail_buffer);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(head.Buffer()), head.Length()), "abcd");
  EXPECT_EQ(tail.Length(), 0u);

  // A failed empty target takes nothing over, and the source keeps its bytes.
  ByteWriter failed;
  EXPECT_FALSE(failed.Reserve(std::numeric_limits<size_t>::max()));
  ByteWriter kept;
  ASSERT_TRUE(kept.Write("xyz", 3));
  EXPECT_FALSE(failed.Append(&kept));
  EXPECT_EQ(kept.Length(), 3u);
  EXPECT_EQ(failed.Length(), 0u);
}

// ---------------------------------------------------------------- stream sets

TEST(StreamBundle, DefaultSetSerialisesToMagicCountAndTenZeroLengths) {
  StreamBundleWriter set;
  ByteWriter out;
  ASSERT_TRUE(set.SerializeTo(&out));
  Bytes expected = {0xEA, 0x9A, 0xCA, 0x09, 0x0A};
  expected.insert(expected.end(), 10, 0x00);
  EXPECT_EQ(Contents(out), expected);

  StreamBundleReader reader;
  ASSERT_TRUE(reader.Parse(out.Buffer(), out.Length()));
  EXPECT_EQ(reader.count(), 10u);
  EXPECT_TRUE(reader.Empty());
  EXPECT_EQ(reader.stream(10), nullptr);
}

TEST(StreamBundle, RoundTripKeepsEveryStream) {
  for (size_t count : {0u, 1u, 3u, 10u}) {
    SCOPED_TRACE(count);
    StreamBundleWriter set;
    set.SetCount(count);
    std::vector<Bytes> contents;
    for (size_t i = 0; i < count; ++i) {
      // Stream 1 stays empty: empty streams are listed too.
      contents.push_back(i == 1 ? Bytes() : Random(i * 37 + 3, static_cast<uint32_t>(i)));
      ASSERT_TRUE(set.stream(i)->Write(contents[i].data(), contents[i].size()));
    }
    EXPECT_EQ(set.stream(count), nullptr);
    ByteWriter out;
    ASSERT_TRUE(out.Write("pre", 3));
    ASSERT_TRUE(set.SerializeTo(&out));
    for (size_t i = 0; i < count; ++i) EXPECT_EQ(set.stream(i)->Length(), 0u);

    StreamBundleReader reader;
    ASSERT_TRUE(reader.Parse(out.Buffer() + 3, out.Length() - 3));
    ASSERT_EQ(reader.count(), count);
    for (size_t i = 0; i < count; ++i) {
      ByteReader* s = reader.stream(i);
      ASSERT_NE(s, nullptr);
      Bytes got(s->Position(), s->Position() + s->BytesLeft());
      EXPECT_EQ(got, contents[i]) << "stream " << i;
    }
    EXPECT_EQ(reader.Empty(), count == 0 || (count == 1 && contents[0].empty()));

    // Parsing from a reader leaves that reader where it was.
    ByteReader source(out.Buffer() + 3, out.Length() - 3);
    StreamBundleReader again;
    ASSERT_TRUE(again.Parse(source));
    EXPECT_EQ(source.BytesLeft(), out.Length() - 3);

    // Every cut short of the whole set is rejected.
    for (size_t cut = 0; cut + 3 < out.Length(); ++cut) {
      StreamBundleReader broken;
      EXPECT_FALSE(broken.Parse(out.Buffer() + 3, cut)) << "cut " << cut;
    }
  }
}

TEST(StreamBundle, MalformedHeadersAreRejected) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool ok;
  };
  const std::vector<Case> cases = {
      {"magic and count 0", {0xEA, 0x9A, 0xCA, 0x09, 0x00}, true},
      {"count 0 with a byte behind", {0xEA, 0x9A, 0xCA, 0x09, 0x00, 0x00}, false},
      {"wrong magic", {0xEB, 0x9A, 0xCA, 0x09, 0x00}, false},
      {"no count", {0xEA, 0x9A, 0xCA, 0x09}, false},
      {"count 11 adding up", {0xEA, 0x9A, 0xCA, 0x09, 0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, false},
      {"missing length", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x01}, false},
      {"too few bytes", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x03, 0xAA, 0xBB}, false},
      {"too many bytes", {0xEA, 0x9A, 0xCA, 0x09, 0x01, 0x01, 0xAA, 0xBB}, false},
      {"exact", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x01, 0x01, 0xAA, 0xBB}, true},
      // Lengths whose 32-bit sum would wrap to the byte count.
      {"wrapping lengths", {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x02, 0xAA}, false},
  };
  for (const Case& c : cases) {
    StreamBundleReader reader;
    EXPECT_EQ(reader.Parse(c.bytes.data(), c.bytes.size()), c.ok) << c.name;
  }
  // The count is taken over as soon as it is read, also when a later step
  // fails.
  StreamBundleReader partial;
  const Bytes missing_length = {0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x01};
  EXPECT_FALSE(partial.Parse(missing_length.data(), missing_length.size()));
  EXPECT_EQ(partial.count(), 2u);

  StreamBundleReader zero;
  const Bytes only_count = {0xEA, 0x9A, 0xCA, 0x09, 0x00};
  ASSERT_TRUE(zero.Parse(only_count.data(), only_count.size()));
  EXPECT_EQ(zero.count(), 0u);
  EXPECT_EQ(zero.stream(0), nullptr);
  EXPECT_TRUE(zero.Empty());
}

TEST(StreamBundle, NestedSetListsStreamsUpToTheLastNonEmpty) {
  StreamBundleWriter inner;
  ASSERT_TRUE(inner.stream(0)->Write("AB", 2));
  ASSERT_TRUE(inner.stream(2)->Write("CDE", 3));
  StreamBundleWriter outer;
  ASSERT_TRUE(outer.stream(0)->Write("x", 1));
  ASSERT_TRUE(outer.PutNestedBundle(&inner));
  EXPECT_EQ(Contents(*outer.stream(0)), (Bytes{'x', 3, 2, 0, 3, 'A', 'B'}));
  EXPECT_EQ(outer.stream(1)->Length(), 0u);
  EXPECT_EQ(Contents(*outer.stream(2)), (Bytes{'C', 'D', 'E'}));
  for (size_t i = 0; i < 10; ++i) EXPECT_EQ(inner.stream(i)->Length(), 0u);

  ByteWriter serialised;
  ASSERT_TRUE(outer.SerializeTo(&serialised));
  StreamBundleReader read_outer;
  ASSERT_TRUE(read_outer.Parse(serialised.Buffer(), serialised.Length()));
  ASSERT_TRUE(read_outer.stream(0)->Skip(1));
  StreamBundleReader read_inner;
  ASSERT_TRUE(read_outer.GetNestedBundle(&read_inner));
  EXPECT_EQ(read_inner.count(), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(read_inner.stream(0)->Position()),
                        read_inner.stream(0)->BytesLeft()),
            "AB");
  EXPECT_TRUE(read_inner.stream(1)->Empty());
  EXPECT_EQ(read_inner.stream(2)->BytesLeft(), 3u);
  EXPECT_TRUE(read_inner.stream(3)->Empty());
  EXPECT_TRUE(read_outer.Empty());
}

TEST(StreamBundle, NestedSetFailures) {
  auto make_outer = [](const Bytes& stream0, const Bytes& stream1, size_t count,
                       ByteWriter* storage, StreamBundleReader* outer) {
    StreamBundleWriter w;
    w.SetCount(count);
    if (count > 0) w.stream(0)->Write(stream0.data(), stream0.size());
    if (count > 1) w.stream(1)->Write(stream1.data(), stream1.size());
    ASSERT_TRUE(w.SerializeTo(storage));
    ASSERT_TRUE(outer->Parse(storage->Buffer(), storage->Length()));
  };
  {
    ByteWriter s;
    StreamBundleReader outer, inner;
    make_outer({0x00}, {}, 2, &s, &outer);
    EXPECT_TRUE(outer.GetNestedBundle(&inner));
    EXPECT_TRUE(inner.Empty());
  }
  {
    ByteWriter s;
    StreamBundleReader outer, inner;
    make_outer({0x0B}, {}, 2, &s, &outer);
    EXPECT_FALSE(outer.GetNestedBundle(&inner)) << "more than ten streams";
  }
  {
    ByteWriter s;
    StreamBundleReader outer, inner;
    make_outer({0x02, 0x00}, {}, 2, &s, &outer);
    EXPECT_FALSE(outer.GetNestedBundle(&inner)) << "missing length";
  }
  {
    ByteWriter s;
    StreamBundleReader outer, inner;
    make_outer({0x02, 0x00, 0x04}, {1, 2, 3}, 2, &s, &outer);
    EXPECT_FALSE(outer.GetNestedBundle(&inner)) << "stream shorter than its length";
  }
  {
    ByteWriter s;
    StreamBundleReader outer, inner;
    make_outer({0x02, 0x00, 0x01}, {}, 1, &s, &outer);
    EXPECT_FALSE(outer.GetNestedBundle(&inner)) << "outer set has no stream 1";
  }
}

TEST(StreamBundle, SerializeHeaderListsOnlyTheCount) {
  StreamBundleWriter set;
  set.SetCount(2);
  ASSERT_TRUE(set.stream(1)->Write("abc", 3));
  ByteWriter header;
  ASSERT_TRUE(set.SerializeHeaderTo(&header));
  EXPECT_EQ(Contents(header), (Bytes{0xEA, 0x9A, 0xCA, 0x09, 0x02, 0x00, 0x03}));
  set.SetCount(11);
  EXPECT_EQ(set.count(), 10u);
}

// ---------------------------------------------------------------- checksum

TEST(ComputeCrc, KnownAnswersAndBitwiseReference) {
  EXPECT_EQ(ComputeCrc("", 0), 0xFFFFFFFFu);
  EXPECT_EQ(ComputeCrc(nullptr, 0), 0xFFFFFFFFu);
  EXPECT_EQ(ComputeCrc("abc", 3), 0xCADBBE3Du);
  EXPECT_EQ(ComputeCrc("123456789", 9), 0x340BC6D9u);
  for (size_t n : {1u, 2u, 3u, 7u, 8u, 15u, 16u, 31u, 64u, 255u, 1000u, 4099u}) {
    Bytes data = Random(n, static_cast<uint32_t>(n));
    EXPECT_EQ(ComputeCrc(data.data(), n), ReferenceCrc(data.data(), n)) << n;
  }
}

TEST(ComputeCrc, ExtendingMatchesTheWholeAtAnyAlignmentAndSplit) {
  // Lengths around the wide path's block sizes, at unaligned starts, and
  // split anywhere: the pieces' checksum equals the whole's.
  const Bytes data = Random(70000 + 16, 9);
  for (size_t n : {255u, 256u, 257u, 271u, 320u, 1023u, 4096u, 65536u, 70000u}) {
    for (size_t offset : {0u, 1u, 8u, 13u}) {
      const uint8_t* p = data.data() + offset;
      const uint32_t expected = ReferenceCrc(p, n);
      EXPECT_EQ(ComputeCrc(p, n), expected) << n << " at " << offset;
      for (size_t split : {size_t{0}, size_t{1}, n / 3, n - 300 < n ? n - 300 : 0, n}) {
        EXPECT_EQ(ExtendCrc(ComputeCrc(p, split), p + split, n - split), expected)
            << n << " at " << offset << " split " << split;
      }
    }
  }
}

TEST(ComputeCrc, TwoThreadsAtOnceGetTheSameResults) {
  const Bytes a = Random(1 << 20, 1);
  const Bytes b = Random(1 << 20, 2);
  const uint32_t expect_a = ReferenceCrc(a.data(), a.size());
  const uint32_t expect_b = ReferenceCrc(b.data(), b.size());
  int wrong_a = 0;
  int wrong_b = 0;
  std::thread ta([&] {
    for (int i = 0; i < 50; ++i) wrong_a += ComputeCrc(a.data(), a.size()) != expect_a;
  });
  std::thread tb([&] {
    for (int i = 0; i < 50; ++i) wrong_b += ComputeCrc(b.data(), b.size()) != expect_b;
  });
  ta.join();
  tb.join();
  EXPECT_EQ(wrong_a, 0);
  EXPECT_EQ(wrong_b, 0);
}

// ---------------------------------------------------------------- log line

TEST(LogStream, HandsOverOneCompleteLineOnDestruction) {
  LogCapture capture;
  {
    LogStream line(kLogDebug);
    line << "detected " << 42 << ' ' << std::string("kind");
    EXPECT_TRUE(capture.lines().empty()) << "nothing before the line is complete";
  }
  auto lines = capture.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].message, "detected 42 kind");
  EXPECT_EQ(lines[0].level, 3);
  EXPECT_EQ(lines[0].channel, "");
  EXPECT_EQ(lines[0].id, 0u);
}

}  // namespace
