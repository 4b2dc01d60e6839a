#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bytediff.h"
#include "deps/voxpatch/logcapture.h"
#include "deps/voxpatch/testbytes.h"
#include "lzmaioout.h"
#include "streams.h"

using namespace voxpatch;

namespace {

using voxpatch_test::Bytes;
using voxpatch_test::Contents;
using voxpatch_test::Random;



Bytes Text(size_t n, uint32_t seed) {
  static const char* words[] = {"alpha ", "beta ", "gamma ", "delta\n", "epsilon ",
                                "zeta ", "eta ", "theta\n", "iota ", "kappa "};
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const char* w = words[rng() % 10];
    b.insert(b.end(), w, w + std::strlen(w));
  }
  b.resize(n);
  return b;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes r;
  for (const Bytes& p : parts) r.insert(r.end(), p.begin(), p.end());
  return r;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) { return Bytes(b.begin() + from, b.begin() + to); }

Bytes Edited(Bytes b, uint32_t seed, int changes) {
  std::mt19937 rng(seed);
  for (int i = 0; i < changes; ++i) b[rng() % b.size()] ^= 0x5A;
  return b;
}

struct DiffCase {
  const char* name;
  Bytes old_data;
  Bytes new_data;
};

std::vector<DiffCase> DiffCases() {
  const Bytes base = Random(3000, 1);
  const Bytes text = Text(100000, 2);
  return {
      {"unrelated random", Random(2000, 3), Random(3000, 4)},
      {"identical", base, base},
      {"shifted", base, Concat({Random(100, 5), base})},
      {"inserted", base, Concat({Slice(base, 0, 1000), Random(500, 6), Slice(base, 1000, 3000)})},
      {"deleted", base, Concat({Slice(base, 0, 1000), Slice(base, 1700, 3000)})},
      {"appended", base, Concat({base, Random(1000, 7)})},
      {"empty old", {}, Random(1000, 8)},
      {"empty new", base, {}},
      {"both empty", {}, {}},
      {"one byte each", {0x41}, {0x42}},
      {"edited text", text,
       Concat({Slice(Edited(text, 9, 50), 0, 40000), Text(777, 10),
               Slice(Edited(text, 9, 50), 41000, 100000)})},
      {"repetitive", [] {
         Bytes b;
         for (int i = 0; i < 5000; ++i) b.insert(b.end(), {'a', 'b'});
         return b;
       }(),
       [] {
         Bytes b;
         for (int i = 0; i < 6000; ++i) b.insert(b.end(), {'a', 'b'});
         b.push_back('c');
         return b;
       }()},
      {"single symbol", Bytes(10000, 0), Bytes(12000, 0)},
  };
}

struct Header {
  uint32_t crc = 0;
  int method = -1;
  uint32_t new_size = 0;
  size_t body_offset = 0;
};

// Reads the fixed fields in front of a diff body.
bool ParseHeader(const Bytes& diff, bool with_header, Header* h) {
  ByteReader r(diff.data(), diff.size());
  if (with_header) {
    char magic[8];
    if (!r.Read(magic, 8) || std::memcmp(magic, "VXDIFF10", 8) != 0) return false;
    if (!r.GetVarint(&h->crc)) return false;
  }
  uint8_t method = 0;
  if (!r.Read(&method, 1) || !r.GetVarint(&h->new_size)) return false;
  h->method = method;
  h->body_offset = diff.size() - r.BytesLeft();
  return true;
}

TEST(ByteDiff, RoundTripsForEveryMethodAndHeaderForm) {
  for (const DiffCase& c : DiffCases()) {
    for (int method = 0; method <= 2; ++method) {
      for (bool with_header : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + " method " + std::to_string(method) +
                     (with_header ? " with header" : ""));
        ByteReader old_reader(c.old_data.data(), c.old_data.size());
        ByteReader new_reader(c.new_data.data(), c.new_data.size());
        ByteWriter diff;
        ASSERT_TRUE(diff.Write("pre", 3));
        ASSERT_TRUE(CreateByteDiff(&old_reader, &new_reader, &diff, with_header, method));
        EXPECT_TRUE(old_reader.Empty());
        EXPECT_TRUE(new_reader.Empty());
        const Bytes bytes(diff.Buffer() + 3, diff.Buffer() + diff.Length());

        Header h;
        ASSERT_TRUE(ParseHeader(bytes, with_header, &h));
        EXPECT_EQ(h.method, method);
        EXPECT_EQ(h.new_size, c.new_data.size());
        if (with_header) {
          EXPECT_EQ(h.crc, ComputeCrc(c.new_data.data(), c.new_data.size()));
        }

        ByteReader apply_old(c.old_data.data(), c.old_data.size());
        ByteReader apply_diff(bytes.data(), bytes.size());
        ByteWriter out;
        ASSERT_TRUE(ApplyByteDiff(apply_old, &apply_diff, &out, with_header));
        EXPECT_TRUE(Contents(out) == c.new_data);
        EXPECT_TRUE(apply_diff.Empty()) << "the whole diff is consumed";
        EXPECT_EQ(apply_old.BytesLeft(), c.old_data.size()) << "old is not advanced";
      }
    }
  }
}

TEST(ByteDiff, SimilarDataGivesSmallDiffs) {
  const Bytes old_data = Text(100000, 2);
  const Bytes new_data = Concat({Slice(Edited(old_data, 9, 50), 0, 40000), Text(777, 10),
                                 Slice(Edited(old_data, 9, 50), 41000, 100000)});
  for (int method = 0; method <= 2; ++method) {
    ByteReader o(old_data.data(), old_data.size());
    ByteReader n(new_data.data(), new_data.size());
    ByteWriter diff;
    ASSERT_TRUE(CreateByteDiff(&o, &n, &diff, false, method));
    if (method == 0) {
      // The literal part holds little more than the inserted text.
      ByteReader r(diff.Buffer(), diff.Length());
      uint8_t m;
      uint32_t size, control, diffs, extra;
      ASSERT_TRUE(r.Read(&m, 1) && r.GetVarint(&size) && r.GetVarint(&control) &&
                  r.GetVarint(&diffs) && r.GetVarint(&extra));
      EXPECT_LT(extra, 3000u);
      EXPECT_GT(diffs, 90000u);
      EXPECT_EQ(uint64_t(diffs) + extra, new_data.size());
    } else {
      EXPECT_LT(diff.Length(), new_data.size() / 20) << "method " << method;
    }
  }
}

TEST(ByteDiff, EveryTruncationFails) {
  const Bytes old_data = Text(3000, 4);
  const Bytes new_data = Concat({Slice(old_data, 0, 1000), Random(200, 1), Slice(old_data, 1100, 3000)});
  for (int method = 0; method <= 2; ++method) {
    for (bool with_header : {false, true}) {
      ByteReader o(old_data.data(), old_data.size());
      ByteReader n(new_data.data(), new_data.size());
      ByteWriter diff;
      ASSERT_TRUE(CreateByteDiff(&o, &n, &diff, with_header, method));
      for (size_t cut = 0; cut < diff.Length(); ++cut) {
        ByteReader apply_old(old_data.data(), old_data.size());
        ByteReader apply_diff(diff.Buffer(), cut);
        ByteWriter out;
        EXPECT_FALSE(ApplyByteDiff(apply_old, &apply_diff, &out, with_header))
            << "method " << method << " header " << with_header << " cut " << cut;
      }
    }
  }
}

TEST(ByteDiff, CorruptedDiffsNeverCrash) {
  const Bytes old_data = Text(5000, 4);
  const Bytes new_data = Edited(Concat({old_data, Random(300, 2)}), 3, 30);
  std::mt19937 rng(5);
  for (int method = 0; method <= 2; ++method) {
    ByteReader o(old_data.data(), old_data.size());
    ByteReader n(new_data.data(), new_data.size());
    ByteWriter diff;
    ASSERT_TRUE(CreateByteDiff(&o, &n, &diff, true, method));
    const Bytes good = Contents(diff);
    int failed = 0;
    for (int round = 0; round < 300; ++round) {
      Bytes bad = good;
      for (int k = 0; k < 2; ++k) bad[rng() % bad.size()] ^= static_cast<uint8_t>(1u << (rng() % 8));
      ByteReader apply_old(old_data.data(), old_data.size());
      ByteReader apply_diff(bad.data(), bad.size());
      ByteWriter out;
      if (!ApplyByteDiff(apply_old, &apply_diff, &out, true)) {
        ++failed;
      } else {
        // The checksum lets only the right result through.
        EXPECT_TRUE(Contents(out) == new_data);
      }
    }
    EXPECT_GT(failed, 0);
  }
}

// ---------------------------------------------------------------- hand-made diffs

struct Triple {
  int32_t copy;
  int32_t extra;
  int32_t seek;
};

struct RawDiff {
  uint32_t new_size = 0;
  std::vector<Triple> triples;
  Bytes diffs;
  Bytes extra;
  bool header = false;
  uint32_t crc = 0;
  int method = 0;
  // Overrides of the three lengths (-1: the real length).
  int64_t control_length = -1;
  int64_t diff_length = -1;
  int64_t extra_length = -1;

  Bytes Build() const {
    ByteWriter control;
    for (const Triple& t : triples) {
      control.PutSignedVarint(t.copy);
      control.PutSignedVarint(t.extra);
      control.PutSignedVarint(t.seek);
    }
    ByteWriter w;
    if (header) {
      w.Write("VXDIFF10", 8);
      w.PutVarint(crc);
    }
    uint8_t m = static_cast<uint8_t>(method);
    w.Write(&m, 1);
    w.PutVarint(new_size);
    w.PutVarint(static_cast<uint32_t>(control_length >= 0 ? control_length : control.Length()));
    w.PutVarint(static_cast<uint32_t>(diff_length >= 0 ? diff_length : diffs.size()));
    w.PutVarint(static_cast<uint32_t>(extra_length >= 0 ? extra_length : extra.size()));
    w.Write(control.Buffer(), control.Length());
    w.Write(diffs.data(), diffs.size());
    w.Write(extra.data(), extra.size());
    return Contents(w);
  }
};

const Bytes kOld = {'0', '1', '2', '3', '4', '5', '6', '7',
                    '8', '9', 'a', 'b', 'c', 'd', 'e', 'f'};

struct ApplyResult {
  bool ok;
  Bytes output;
  std::vector<std::string> messages;
};

ApplyResult Apply(const Bytes& diff, bool header, const Bytes& old_data = kOld) {
  LogCapture capture;
  ByteReader o(old_data.data(), old_data.size());
  ByteReader d(diff.data(), diff.size());
  ByteWriter out;
  ApplyResult r;
  r.ok = ApplyByteDiff(o, &d, &out, header);
  r.output = Contents(out);
  r.messages = capture.messages();
  return r;
}

struct MalformedCase {
  const char* name;
  RawDiff diff;
  bool ok;
  const char* message;  // nullptr: no message
  Bytes output;         // checked when ok
};

std::vector<MalformedCase> MalformedCases() {
  std::vector<MalformedCase> cases;
  auto add = [&cases](const char* name, RawDiff d, bool ok, const char* message, Bytes out = {}) {
    cases.push_back({name, d, ok, message, out});
  };
  RawDiff d;
  add("new size 0 reads no triple", d, true, nullptr);
  d.header = true;
  d.crc = 0xFFFFFFFFu;
  add("new size 0 with header checksum", d, true, nullptr);
  d.crc = 0;
  add("new size 0 with wrong checksum", d, false, "crc mismatch");

  d = RawDiff();
  d.new_size = 6;
  d.triples = {{0, 0, 10}, {6, 0, 0}};
  d.diffs = Bytes(6, 0);
  add("copy ending at the end of old", d, true, nullptr, {'a', 'b', 'c', 'd', 'e', 'f'});
  d.triples = {{0, 0, 11}, {6, 0, 0}};
  add("copy one byte beyond old", d, false, nullptr);

  d = RawDiff();
  d.new_size = 3;
  d.triples = {{1, 3, 0}};
  d.diffs = {0};
  d.extra = {'x', 'y', 'z'};
  add("extra beyond the new size", d, false, "Corrupt patch");

  d = RawDiff();
  d.new_size = 4;
  d.triples = {{2, 0, 0}};
  d.diffs = {0, 0, 0, 0};
  add("control runs out", d, false, "Corrupt patch reading control");

  d = RawDiff();
  d.new_size = 1;
  d.triples = {{1, 0, 0}};
  d.diffs = {0};
  d.method = 3;
  add("method 3", d, false, "Invalid compression method");

  d = RawDiff();
  d.new_size = 2;
  d.triples = {{2, 0, 0}};
  d.diffs = {0, 0};
  d.diff_length = 3;
  add("lengths add up to more than present", d, false, nullptr);

  d = RawDiff();
  d.new_size = 2;
  d.triples = {{-1, 2, 0}};
  d.extra = {'x', 'y'};
  add("negative copy length", d, false, nullptr);
  d.triples = {{0, -1, 0}, {0, 2, 0}};
  add("negative extra length", d, false, nullptr);

  d = RawDiff();
  d.new_size = 2;
  d.triples = {{3, 0, 0}};
  d.diffs = {0, 0, 0};
  add("copy beyond the new size", d, false, nullptr);

  d = RawDiff();
  d.new_size = 3;
  d.triples = {{3, 0, 0}};
  d.diffs = {0, 0};
  d.extra = {'q'};
  add("copy beyond the diff bytes", d, false, nullptr);

  d = RawDiff();
  d.new_size = 3;
  d.triples = {{1, 2, 0}};
  d.diffs = {0};
  d.extra = {'q', 'r'};
  d.extra_length = 1;
  d.diff_length = 2;
  add("extra beyond the extra bytes", d, false, nullptr);

  d = RawDiff();
  d.new_size = 2;
  d.triples = {{2, 0, -100}};
  d.diffs = {0, 0};
  add("last seek may leave the old data", d, true, nullptr, {'0', '1'});
  d.new_size = 3;
  d.triples = {{2, 0, -100}, {0, 1, 0}};
  d.extra = {'z'};
  add("next triple checks the position even with copy 0", d, false, nullptr);

  d = RawDiff();
  d.new_size = 2;
  d.triples = {{1, 0, 14}, {1, 0, 0}};
  d.diffs = {0x02, 0xFF};
  add("diff bytes add with wrap-around", d, true, nullptr, {'2', 'e'});

  // The copied region's end computed in 32 bits would wrap below the old
  // length and let the copy read far outside the old data.
  d = RawDiff();
  d.new_size = 0x21;
  d.triples = {{0, 1, 0x7FFFFFF0}, {0x20, 0, 0}};
  d.diffs = Bytes(0x20, 0);
  d.extra = {'e'};
  add("copy end wrapping in 32 bits", d, false, nullptr);

  // The old position passing the largest 32-bit value wraps instead of
  // overflowing; the next triple refuses it.
  d = RawDiff();
  d.new_size = 9;
  d.triples = {{8, 0, 0x7FFFFFFF}, {0, 1, 0}};
  d.diffs = Bytes(8, 0);
  d.extra = {'e'};
  add("old position wrapping", d, false, nullptr);

  // A new size beyond what the body can make still runs the triples, so the
  // control part running out is reported as such.
  d = RawDiff();
  d.new_size = 0xFFFFFFFFu;
  d.triples = {{1, 0, 0}};
  d.diffs = {0};
  add("new size beyond the body", d, false, "Corrupt patch reading control");
  d.new_size = 5;
  d.triples = {};
  d.diffs = {};
  add("no triple and no bytes", d, false, "Corrupt patch reading control");
  return cases;
}

TEST(ByteDiff, MalformedDiffsFailCleanly) {
  for (const MalformedCase& c : MalformedCases()) {
    SCOPED_TRACE(c.name);
    ApplyResult r = Apply(c.diff.Build(), c.diff.header);
    EXPECT_EQ(r.ok, c.ok);
    if (c.ok) {
      EXPECT_EQ(r.output, c.output);
    }
    if (c.message) {
      EXPECT_EQ(r.messages, std::vector<std::string>{c.message});
    } else {
      EXPECT_TRUE(r.messages.empty()) << r.messages.front();
    }
  }
}

TEST(ByteDiff, HeaderFailures) {
  {
    ApplyResult r = Apply({'V', 'X', 'D', 'I', 'F', 'F', '1'}, true);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.messages.empty());
  }
  {
    Bytes bad = {'V', 'X', 'D', 'I', 'F', 'F', '1', '1', 0x00, 0x00, 0x00};
    ApplyResult r = Apply(bad, true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, std::vector<std::string>{"Corrupt patch header"});
  }
  {
    Bytes no_crc = {'V', 'X', 'D', 'I', 'F', 'F', '1', '0', 0x80};
    ApplyResult r = Apply(no_crc, true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.messages, std::vector<std::string>{"Could not read crc"});
  }
  {
    ApplyResult r = Apply({}, false);
    EXPECT_FALSE(r.ok) << "no method byte";
  }
}

TEST(ByteDiff, CompressedBodiesAreCheckedLikeRawOnes) {
  // Method 2 whose block holds a body with lengths beyond its bytes.
  RawDiff inner;
  inner.new_size = 2;
  inner.triples = {{2, 0, 0}};
  inner.diffs = {0, 0};
  inner.diff_length = 5;
  Bytes raw = inner.Build();
  ByteWriter w;
  uint8_t method = 2;
  w.Write(&method, 1);
  w.PutVarint(2);
  ASSERT_TRUE(WriteLzma2Block(raw.data() + 2, raw.size() - 2, &w));
  EXPECT_FALSE(Apply(Contents(w), false).ok);

  // Method 1 with only two of its three blocks.
  ByteWriter m1;
  method = 1;
  m1.Write(&method, 1);
  m1.PutVarint(1);
  ByteWriter control;
  control.PutSignedVarint(0);
  control.PutSignedVarint(1);
  control.PutSignedVarint(0);
  ASSERT_TRUE(WriteLzma2Block(control.Buffer(), control.Length(), &m1));
  ASSERT_TRUE(WriteLzma2Block(nullptr, 0, &m1));
  EXPECT_FALSE(Apply(Contents(m1), false).ok);
  const Bytes extra = {'!'};
  ASSERT_TRUE(WriteLzma2Block(extra.data(), extra.size(), &m1));
  ApplyResult r = Apply(Contents(m1), false);
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.output, extra);
}

TEST(ByteDiff, CreateRejectsUnknownMethod) {
  ByteReader o(kOld.data(), kOld.size());
  ByteReader n(kOld.data(), kOld.size());
  ByteWriter diff;
  LogCapture capture;
  EXPECT_FALSE(CreateByteDiff(&o, &n, &diff, false, 3));
  EXPECT_EQ(diff.Length(), 0u);
}

}  // namespace

TEST(ByteDiff, OldBytesInTwoPiecesActAsOne) {
  // Every split of the old bytes, including ones inside copied regions and
  // at both ends, gives the same result as the whole.
  for (const DiffCase& c : DiffCases()) {
    ByteReader old_reader(c.old_data.data(), c.old_data.size());
    ByteReader new_reader(c.new_data.data(), c.new_data.size());
    ByteWriter diff;
    ASSERT_TRUE(CreateByteDiff(&old_reader, &new_reader, &diff, false, 0));
    const size_t n = c.old_data.size();
    for (size_t split : {size_t(0), size_t(1), n / 3, n / 2, n > 0 ? n - 1 : 0, n}) {
      if (split > n) continue;
      SCOPED_TRACE(std::string(c.name) + " split at " + std::to_string(split));
      // Each piece in a buffer of its own, so that reading across the split
      // through one pointer would read the wrong bytes.
      const Bytes head(c.old_data.begin(), c.old_data.begin() + split);
      const Bytes tail(c.old_data.begin() + split, c.old_data.end());
      ByteReader head_reader(head.data(), head.size());
      ByteReader tail_reader(tail.data(), tail.size());
      ByteReader diff_reader(diff.Buffer(), diff.Length());
      ByteWriter out;
      ASSERT_TRUE(ApplyByteDiff(head_reader, tail_reader, &diff_reader, &out, false));
      EXPECT_TRUE(Contents(out) == c.new_data);
    }
  }
  // A copy may end exactly at the end of the second piece, not beyond.
  RawDiff d;
  d.new_size = 16;
  d.triples = {{16, 0, 0}};
  d.diffs = Bytes(16, 0);
  const Bytes whole = d.Build();
  for (size_t tail_length : {size_t(8), size_t(7)}) {
    const Bytes head(kOld.begin(), kOld.begin() + 8);
    const Bytes tail(kOld.begin() + 8, kOld.begin() + 8 + tail_length);
    ByteReader diff_reader(whole.data(), whole.size());
    ByteWriter out;
    EXPECT_EQ(tail_length == 8, ApplyByteDiff(ByteReader(head.data(), head.size()),
                                              ByteReader(tail.data(), tail.size()),
                                              &diff_reader, &out, false))
        << tail_length;
    if (tail_length == 8) {
      EXPECT_TRUE(Contents(out) == kOld);
    }
  }
}

// Collects what a streamed diff hands over; refuses piece number refuse_at.
class CollectingDrain : public ByteDiffDrain {
 public:
  explicit CollectingDrain(int refuse_at = -1) : refuse_at_(refuse_at) {}
  bool Take(const uint8_t* data, size_t n) override {
    if (pieces++ == refuse_at_) return false;
    bytes.insert(bytes.end(), data, data + n);
    return true;
  }
  Bytes bytes;
  int pieces = 0;

 private:
  int refuse_at_;
};

TEST(ByteDiff, StreamedResultArrivesWholeInOrderAndIsChecked) {
  // 9 MiB of result come in several pieces, 100 KB in one.
  const Bytes big_old = Random(9u << 20, 11);
  const Bytes big_new = Concat({Slice(big_old, 0, 3u << 20), Random(5000, 12),
                                Slice(Edited(big_old, 13, 200), (3u << 20) + 100, 9u << 20)});
  const Bytes text = Text(100000, 14);
  struct Case {
    const char* name;
    const Bytes* old_data;
    Bytes new_data;
    bool several_pieces;
  } cases[] = {{"large", &big_old, big_new, true}, {"small", &text, Edited(text, 15, 30), false}};
  for (const Case& c : cases) {
    for (int method : {0, 2}) {
      for (bool with_header : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + " method " + std::to_string(method) +
                     (with_header ? " with header" : ""));
        ByteReader old_reader(c.old_data->data(), c.old_data->size());
        ByteReader new_reader(c.new_data.data(), c.new_data.size());
        ByteWriter made;
        ASSERT_TRUE(CreateByteDiff(&old_reader, &new_reader, &made, with_header, method));
        const Bytes diff = Contents(made);
        const ByteReader old_bytes(c.old_data->data(), c.old_data->size());

        // The diff's own bytes are handed back as they are used: a copy.
        Bytes used_once = diff;
        ByteReader diff_reader(used_once.data(), used_once.size());
        CollectingDrain drain;
        ByteDiffStreaming streaming;
        streaming.drain = &drain;
        streaming.release_consumed = true;
        ByteWriter out;
        ASSERT_TRUE(ApplyByteDiff(old_bytes, ByteReader(), &diff_reader, &out, with_header,
                                  streaming));
        EXPECT_TRUE(drain.bytes == c.new_data);
        EXPECT_EQ(c.new_data.size(), out.Length());
        EXPECT_EQ(c.several_pieces, drain.pieces > 1) << drain.pieces;

        // A drain that refuses a piece fails the diff.
        CollectingDrain refusing(drain.pieces - 1);
        streaming.drain = &refusing;
        ByteReader again(diff.data(), diff.size());
        ByteWriter refused_out;
        EXPECT_FALSE(ApplyByteDiff(old_bytes, ByteReader(), &again, &refused_out, with_header,
                                   streaming));

        // The streamed result is checked against the header's checksum.
        if (with_header) {
          Bytes wrong = diff;
          wrong[8] ^= 0x01;  // first checksum byte
          ByteReader wrong_reader(wrong.data(), wrong.size());
          CollectingDrain unchecked;
          streaming.drain = &unchecked;
          ByteWriter wrong_out;
          EXPECT_FALSE(ApplyByteDiff(old_bytes, ByteReader(), &wrong_reader, &wrong_out, true,
                                     streaming));
        }
      }
    }
  }
}
