#include "bytediff.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "crc.h"
#include "hugepages.h"
#include "logstream.h"
#include "lzmaioout.h"
#include "suffixarray.h"

namespace voxpatch {

namespace {

const char kDiffMagic[8] = {'V', 'X', 'D', 'I', 'F', 'F', '1', '0'};
constexpr uint64_t kMaxDiffInput = 0x7FFFFFFF;

// Room for control triples beyond one per new byte.
constexpr uint64_t kControlSlack = 1u << 16;

// While streaming, the result is drained and used-up parts are handed back
// every this many bytes of result.
constexpr uint64_t kStreamStep = 4u << 20;

size_t ClampSize(uint64_t n) { return n > SIZE_MAX ? SIZE_MAX : static_cast<size_t>(n); }

// Reads the three lengths of a raw body and makes windows over the three
// parts behind them.
bool LocateRawParts(ByteReader* body, ByteReader* control, ByteReader* diffs,
                    ByteReader* extra) {
  uint32_t control_length = 0;
  uint32_t diff_length = 0;
  uint32_t extra_length = 0;
  if (!body->GetVarint(&control_length) || !body->GetVarint(&diff_length) ||
      !body->GetVarint(&extra_length))
    return false;
  uint64_t total = static_cast<uint64_t>(control_length) + diff_length + extra_length;
  if (total > body->BytesLeft()) return false;
  return body->TakeWindow(control, control_length) &&
         body->TakeWindow(diffs, diff_length) &&
         body->TakeWindow(extra, extra_length);
}

// out[i] = diffs[i] + old[i] modulo 256, sixteen bytes at a time where the
// processor allows.
void AddBytes(uint8_t* __restrict out, const uint8_t* __restrict diffs,
              const uint8_t* __restrict old, size_t n) {
  size_t i = 0;
#ifdef __SSE2__
  for (; i + 16 <= n; i += 16) {
    __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(diffs + i));
    __m128i o = _mm_loadu_si128(reinterpret_cast<const __m128i*>(old + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi8(d, o));
  }
#endif
  for (; i < n; ++i) out[i] = static_cast<uint8_t>(diffs[i] + old[i]);
}

}  // namespace

bool ApplyByteDiff(const ByteReader& old, ByteReader* diff, ByteWriter* new_sink,
                   bool with_header) {
  return ApplyByteDiff(old, ByteReader(), diff, new_sink, with_header);
}

bool ApplyByteDiff(const ByteReader& old, const ByteReader& old_tail, ByteReader* diff,
                   ByteWriter* new_sink, bool with_header) {
  return ApplyByteDiff(old, old_tail, diff, new_sink, with_header, ByteDiffStreaming());
}

bool ApplyByteDiff(const ByteReader& old, const ByteReader& old_tail, ByteReader* diff,
                   ByteWriter* new_sink, bool with_header, const ByteDiffStreaming& streaming) {
  uint32_t expected_crc = 0;
  if (with_header) {
    char magic[sizeof(kDiffMagic)];
    if (!diff->Read(magic, sizeof(magic))) return false;
    if (std::memcmp(magic, kDiffMagic, sizeof(magic)) != 0) {
      LogMessage(kLogError, "Corrupt patch header");
      return false;
    }
    if (!diff->GetVarint(&expected_crc)) {
      LogMessage(kLogError, "Could not read crc");
      return false;
    }
  }
  uint8_t method = 0;
  if (!diff->Read(&method, 1)) return false;
  if (method > kByteDiffOneBlock) {
    LogMessage(kLogError, "Invalid compression method");
    return false;
  }
  uint32_t new_size = 0;
  if (!diff->GetVarint(&new_size)) return false;
  // A result larger than the sink may take fails before anything is
  // decoded or reserved for it.
  if (new_size > new_sink->Room()) {
    LogMessage(kLogError, "diff result larger than allowed");
    return false;
  }

  // Every new byte comes from one diff byte or one extra byte, so neither
  // part may outgrow the result; a control triple takes at most 15 bytes
  // and moves at least one byte in any diff the maker writes.
  const size_t part_limit = static_cast<size_t>(new_size);
  const size_t control_limit = ClampSize(15 * (static_cast<uint64_t>(new_size) + 1) + kControlSlack);
  ByteWriter unpacked;
  ByteWriter control_sink;
  ByteWriter diff_sink;
  ByteWriter extra_sink;
  unpacked.SetLimit(ClampSize(static_cast<uint64_t>(control_limit) + 2 * part_limit + 15));
  control_sink.SetLimit(control_limit);
  diff_sink.SetLimit(part_limit);
  extra_sink.SetLimit(part_limit);
  ByteReader control;
  ByteReader diffs;
  ByteReader extra;
  if (method == kByteDiffOneBlock) {
    if (!ReadLzma2Block(diff, &unpacked)) return false;
    ByteReader body;
    body.Attach(unpacked);
    if (!LocateRawParts(&body, &control, &diffs, &extra)) return false;
  } else if (method == kByteDiffRaw) {
    if (!LocateRawParts(diff, &control, &diffs, &extra)) return false;
  } else {
    if (!ReadLzma2Block(diff, &control_sink) || !ReadLzma2Block(diff, &diff_sink) ||
        !ReadLzma2Block(diff, &extra_sink))
      return false;
    control.Attach(control_sink);
    diffs.Attach(diff_sink);
    extra.Attach(extra_sink);
  }

  // Every new byte comes from one diff byte or one extra byte, and each
  // triple is checked against the bytes left before it writes, so output
  // never outgrows diff and extra bytes together.  Reserving no more than
  // that keeps a hostile new size from claiming memory while a short
  // control part still fails with its own message.
  const uint64_t reachable = static_cast<uint64_t>(diffs.BytesLeft()) + extra.BytesLeft();
  const size_t room = static_cast<size_t>(new_size < reachable ? new_size : reachable);
  const size_t base = new_sink->Length();
  if (room > SIZE_MAX - base || !new_sink->Reserve(base + room)) return false;
  uint8_t* out = new_sink->PrepareTail(room);
  if (out == nullptr) return false;

  const uint8_t* old_data = old.Position();
  const uint64_t old_head = old.BytesLeft();
  const uint64_t old_length = old_head + old_tail.BytesLeft();
  int32_t old_position = 0;
  uint64_t written = 0;

  // Streaming: the result is drained (and checksummed on the way) up to
  // `drained`; the parts' used-up fronts are handed back with it.
  const uint8_t* const parts[3] = {control.Position(), diffs.Position(), extra.Position()};
  uint64_t drained = 0;
  uint64_t next_step = kStreamStep;
  uint32_t drained_crc = ComputeCrc(nullptr, 0);
  auto stream = [&]() {
    if (streaming.drain != nullptr && written > drained) {
      if (!streaming.drain->Take(out + drained, static_cast<size_t>(written - drained)))
        return false;
      if (with_header)
        drained_crc = ExtendCrc(drained_crc, out + drained, static_cast<size_t>(written - drained));
      ReleasePages(out + drained, static_cast<size_t>(written - drained));
      drained = written;
    }
    if (streaming.old_head_rereadable && old_position > 0) {
      const uint64_t behind = static_cast<uint64_t>(old_position);
      ReleasePages(const_cast<uint8_t*>(old_data),
                   static_cast<size_t>(behind < old_head ? behind : old_head));
    }
    if (streaming.release_consumed) {
      ReleasePages(const_cast<uint8_t*>(parts[0]), static_cast<size_t>(control.Position() - parts[0]));
      ReleasePages(const_cast<uint8_t*>(parts[1]), static_cast<size_t>(diffs.Position() - parts[1]));
      ReleasePages(const_cast<uint8_t*>(parts[2]), static_cast<size_t>(extra.Position() - parts[2]));
    }
    return true;
  };
  // Drains once a step's worth of result is made, also inside one long copy
  // or literal (streaming only: otherwise the step is never reached).
  const bool streamed =
      streaming.drain != nullptr || streaming.release_consumed || streaming.old_head_rereadable;
  if (!streamed) next_step = UINT64_MAX;
  auto stepped = [&]() {
    if (written < next_step) return true;
    next_step = written + kStreamStep;
    return stream();
  };
  // The most bytes one piece of a copy or literal takes.
  const uint64_t piece_limit = streamed ? kStreamStep : UINT64_MAX;

  while (written < new_size) {
    int32_t copy_length = 0;
    int32_t extra_length = 0;
    int32_t seek = 0;
    if (!control.GetSignedVarint(&copy_length) ||
        !control.GetSignedVarint(&extra_length) || !control.GetSignedVarint(&seek)) {
      LogMessage(kLogError, "Corrupt patch reading control");
      return false;
    }
    if (copy_length < 0 || extra_length < 0) return false;
    const uint64_t copy = static_cast<uint64_t>(copy_length);
    if (written + copy > new_size || copy > diffs.BytesLeft()) return false;
    // The copied region must lie inside the old data; checked in 64 bits so
    // that no sum can wrap.
    if (old_position < 0 ||
        static_cast<uint64_t>(old_position) + copy > old_length)
      return false;
    for (uint64_t done = 0; done < copy;) {
      const uint64_t piece = copy - done < piece_limit ? copy - done : piece_limit;
      // The region may lie in either piece of the old bytes or span both.
      const uint64_t at = static_cast<uint64_t>(old_position) + done;
      const uint64_t in_head = at < old_head ? (old_head - at < piece ? old_head - at : piece) : 0;
      if (in_head != 0)
        AddBytes(out + written, diffs.Position(), old_data + at, static_cast<size_t>(in_head));
      if (in_head != piece)
        AddBytes(out + written + in_head, diffs.Position() + in_head,
                 old_tail.Position() + (at + in_head - old_head),
                 static_cast<size_t>(piece - in_head));
      diffs.Skip(static_cast<size_t>(piece));
      written += piece;
      done += piece;
      if (!stepped()) return false;
    }
    const uint64_t literal = static_cast<uint64_t>(extra_length);
    if (written + literal > new_size) {
      LogMessage(kLogError, "Corrupt patch");
      return false;
    }
    if (literal > extra.BytesLeft()) return false;
    for (uint64_t done = 0; done < literal;) {
      const uint64_t piece = literal - done < piece_limit ? literal - done : piece_limit;
      std::memcpy(out + written, extra.Position(), static_cast<size_t>(piece));
      extra.Skip(static_cast<size_t>(piece));
      written += piece;
      done += piece;
      if (!stepped()) return false;
    }
    // The old position is a 32-bit value that wraps; the check above refuses
    // any position the wrap could make invalid.
    old_position = static_cast<int32_t>(static_cast<uint32_t>(old_position) +
                                        static_cast<uint32_t>(copy_length) +
                                        static_cast<uint32_t>(seek));
  }
  if (!stream() || !new_sink->CommitTail(new_size)) return false;
  const uint32_t crc = streaming.drain != nullptr
                           ? drained_crc
                           : (with_header ? ComputeCrc(new_sink->Buffer() + base, new_size) : 0);
  if (with_header && crc != expected_crc) {
    LogMessage(kLogError, "crc mismatch");
    return false;
  }
  return true;
}

namespace {

int64_t MatchLength(const uint8_t* a, int64_t a_length, const uint8_t* b,
                    int64_t b_length) {
  int64_t i = 0;
  while (i < a_length && i < b_length && a[i] == b[i]) ++i;
  return i;
}

// Longest match of target in old through the sorted suffixes.
int64_t Search(const int32_t* suffixes, const uint8_t* old, int64_t old_size,
               const uint8_t* target, int64_t target_size, int64_t start,
               int64_t end, int64_t* position) {
  while (end - start >= 2) {
    int64_t middle = start + (end - start) / 2;
    int64_t rest = old_size - suffixes[middle];
    int64_t n = rest < target_size ? rest : target_size;
    if (std::memcmp(old + suffixes[middle], target, static_cast<size_t>(n)) < 0)
      start = middle;
    else
      end = middle;
  }
  int64_t x = MatchLength(old + suffixes[start], old_size - suffixes[start], target,
                          target_size);
  int64_t y = MatchLength(old + suffixes[end], old_size - suffixes[end], target,
                          target_size);
  if (x > y) {
    *position = suffixes[start];
    return x;
  }
  *position = suffixes[end];
  return y;
}

bool WriteRawBody(ByteWriter* control, ByteWriter* diffs, ByteWriter* extra,
                  ByteWriter* out) {
  return out->PutSizeVarint(control->Length()) && out->PutSizeVarint(diffs->Length()) &&
         out->PutSizeVarint(extra->Length()) && out->Append(control) &&
         out->Append(diffs) && out->Append(extra);
}

}  // namespace

bool CreateByteDiff(ByteReader* old, ByteReader* new_data, ByteWriter* diff,
                    bool with_header, int method) {
  if (method < kByteDiffRaw || method > kByteDiffOneBlock) {
    LogMessage(kLogError, "Invalid compression method");
    return false;
  }
  const uint8_t* new_bytes = new_data->Position();
  const uint32_t crc = ComputeCrc(new_bytes, new_data->BytesLeft());

  const uint8_t* old_bytes = old->Position();
  if (old->BytesLeft() > kMaxDiffInput) {
    LogMessage(kLogError, " old stream too large");
    return false;
  }
  const int64_t old_size = static_cast<int64_t>(old->BytesLeft());
  if (!old->Skip(static_cast<size_t>(old_size))) {
    LogMessage(kLogError, "error in old_stream size");
    return false;
  }

  int32_t* suffixes = static_cast<int32_t*>(
      std::malloc(sizeof(int32_t) * (static_cast<size_t>(old_size) + 1)));
  if (suffixes == nullptr) return false;
  suffixes[0] = static_cast<int32_t>(old_size);
  static const uint8_t kNothing = 0;
  if (BuildSuffixArray(old_bytes != nullptr ? old_bytes : &kNothing, suffixes + 1,
                       static_cast<int32_t>(old_size)) != 0) {
    std::free(suffixes);
    return false;
  }

  if (new_data->BytesLeft() > kMaxDiffInput) {
    std::free(suffixes);
    LogMessage(kLogError, " new stream too large");
    return false;
  }
  const int64_t new_size = static_cast<int64_t>(new_data->BytesLeft());
  if (!new_data->Skip(static_cast<size_t>(new_size))) {
    std::free(suffixes);
    LogMessage(kLogError, "error in new_stream size");
    return false;
  }

  ByteWriter control;
  ByteWriter diffs;
  ByteWriter extra;
  bool ok = diffs.Reserve(static_cast<size_t>(new_size) + 1) &&
            extra.Reserve(static_cast<size_t>(new_size) + 1);

  const uint8_t* o = old_bytes;
  const uint8_t* n = new_bytes;
  int64_t scan = 0;
  int64_t length = 0;
  int64_t position = 0;
  int64_t last_scan = 0;
  int64_t last_position = 0;
  int64_t last_offset = 0;
  while (ok && scan < new_size) {
    int64_t old_score = 0;
    int64_t scsc = scan += length;
    for (; scan < new_size; ++scan) {
      length = Search(suffixes, o, old_size, n + scan, new_size - scan, 0, old_size,
                      &position);
      for (; scsc < scan + length; ++scsc) {
        int64_t at = scsc + last_offset;
        if (at >= 0 && at < old_size && o[at] == n[scsc]) ++old_score;
      }
      if ((length == old_score && length != 0) || length > old_score + 8 ||
          (length > old_score && length > 10240))
        break;
      int64_t at = scan + last_offset;
      if (at >= 0 && at < old_size && o[at] == n[scan]) --old_score;
    }
    if (length == old_score && scan != new_size) continue;

    // Forward extension of the previous match.
    int64_t length_forward = 0;
    {
      int64_t s = 0;
      int64_t best = 0;
      for (int64_t i = 0; last_scan + i < scan && last_position + i < old_size;) {
        if (o[last_position + i] == n[last_scan + i]) ++s;
        ++i;
        if (s * 2 - i > best * 2 - length_forward) {
          best = s;
          length_forward = i;
        }
      }
    }
    // Backward extension in front of the new match.
    int64_t length_back = 0;
    if (scan < new_size) {
      int64_t s = 0;
      int64_t best = 0;
      for (int64_t i = 1; scan >= last_scan + i && position >= i; ++i) {
        if (o[position - i] == n[scan - i]) ++s;
        if (s * 2 - i > best * 2 - length_back) {
          best = s;
          length_back = i;
        }
      }
    }
    // Split an overlap of the two extensions where it matches best.
    if (last_scan + length_forward > scan - length_back) {
      int64_t overlap = (last_scan + length_forward) - (scan - length_back);
      int64_t s = 0;
      int64_t best = 0;
      int64_t split = 0;
      for (int64_t i = 0; i < overlap; ++i) {
        if (n[last_scan + length_forward - overlap + i] ==
            o[last_position + length_forward - overlap + i])
          ++s;
        if (n[scan - length_back + i] == o[position - length_back + i]) --s;
        if (s > best) {
          best = s;
          split = i + 1;
        }
      }
      length_forward += split - overlap;
      length_back -= split;
    }

    uint8_t* d = diffs.PrepareTail(static_cast<size_t>(length_forward));
    ok = d != nullptr;
    if (!ok) break;
    for (int64_t i = 0; i < length_forward; ++i)
      d[i] = static_cast<uint8_t>(n[last_scan + i] - o[last_position + i]);
    diffs.CommitTail(static_cast<size_t>(length_forward));
    const int64_t extra_length = (scan - length_back) - (last_scan + length_forward);
    ok = extra.Write(n + last_scan + length_forward, static_cast<size_t>(extra_length)) &&
         control.PutSignedVarint(static_cast<int32_t>(length_forward)) &&
         control.PutSignedVarint(static_cast<int32_t>(extra_length)) &&
         control.PutSignedVarint(static_cast<int32_t>(
             (position - length_back) - (last_position + length_forward)));

    last_scan = scan - length_back;
    last_position = position - length_back;
    last_offset = position - scan;
  }
  std::free(suffixes);
  if (!ok) return false;

  if (with_header) {
    if (!diff->Write(kDiffMagic, sizeof(kDiffMagic)) || !diff->PutVarint(crc))
      return false;
  }
  uint8_t method_byte = static_cast<uint8_t>(method);
  if (!diff->Write(&method_byte, 1) ||
      !diff->PutSizeVarint(static_cast<uint64_t>(new_size)))
    return false;
  if (method == kByteDiffRaw) return WriteRawBody(&control, &diffs, &extra, diff);
  if (method == kByteDiffThreeBlocks) {
    return WriteLzma2Block(control.Buffer(), control.Length(), diff) &&
           WriteLzma2Block(diffs.Buffer(), diffs.Length(), diff) &&
           WriteLzma2Block(extra.Buffer(), extra.Length(), diff);
  }
  ByteWriter body;
  if (!WriteRawBody(&control, &diffs, &extra, &body)) return false;
  return WriteLzma2Block(body.Buffer(), body.Length(), diff);
}

}  // namespace voxpatch
