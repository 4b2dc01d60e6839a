#include "ensemblepatchbuilder.h"

#include "bytediff.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "crc.h"
#include "lzmaioout.h"
#include "patcherx86_32.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

using namespace voxpatch;

namespace voxpatch_test {

namespace {

std::string ToString(const ByteWriter& w) {
  return std::string(reinterpret_cast<const char*>(w.Buffer()), w.Length());
}

const uint8_t* Bytes(const std::string& s) {
  return reinterpret_cast<const uint8_t*>(s.data());
}

std::vector<std::pair<uint32_t, uint32_t>> OldRanges(const std::vector<ElementSpec>& elements) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (const ElementSpec& e : elements) ranges.emplace_back(e.old_offset, e.old_length);
  return ranges;
}

std::vector<std::pair<uint32_t, uint32_t>> NewRanges(const std::vector<ElementSpec>& elements) {
  std::vector<std::pair<uint32_t, uint32_t>> ranges;
  for (const ElementSpec& e : elements) ranges.emplace_back(e.new_offset, e.new_length);
  return ranges;
}

}  // namespace

std::string ElementDescriptions(uint32_t count, const std::vector<uint32_t>& kinds,
                                const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
  ByteWriter w;
  w.PutVarint(count);
  for (uint32_t kind : kinds) w.PutVarint(kind);
  for (const auto& range : ranges) {
    w.PutVarint(range.first);
    w.PutVarint(range.second);
  }
  return ToString(w);
}

std::string ElementDescriptions(const std::vector<ElementSpec>& elements) {
  std::vector<uint32_t> kinds;
  for (const ElementSpec& e : elements) kinds.push_back(e.kind);
  return ElementDescriptions(static_cast<uint32_t>(elements.size()), kinds, OldRanges(elements));
}

std::string PredictionBytes(size_t count) {
  StreamBundleWriter prediction;
  for (size_t i = 0; i < count; ++i) {
    StreamBundleWriter empty;
    prediction.PutNestedBundle(&empty);
  }
  ByteWriter flat;
  prediction.SerializeTo(&flat);
  return ToString(flat);
}

bool TransformedBytes(const std::string& file,
                      const std::vector<std::pair<uint32_t, uint32_t>>& ranges,
                      std::string* out) {
  StreamBundleWriter transformed;
  for (const auto& range : ranges) {
    PatcherX86_32 patcher(Bytes(file), file.size());
    ByteWriter description;
    description.PutVarint(range.first);
    description.PutVarint(range.second);
    ByteReader reader(description.Buffer(), description.Length());
    if (patcher.Setup(&reader) != C_OK) return false;
    StreamBundleReader no_parameters;
    StreamBundleWriter element;
    if (patcher.TransformElement(&no_parameters, &element) != C_OK) return false;
    if (!transformed.PutNestedBundle(&element)) return false;
  }
  ByteWriter flat;
  if (!transformed.SerializeTo(&flat)) return false;
  *out = ToString(flat);
  return true;
}

bool FinalInput(const std::string& old_file, const std::string& transformed, size_t count,
                std::string* out) {
  StreamBundleReader set;
  if (!set.Parse(Bytes(transformed), transformed.size())) return false;
  ByteWriter blob;
  blob.Write(old_file.data(), old_file.size());
  for (size_t i = 0; i < count; ++i) {
    StreamBundleReader element;
    if (!set.GetNestedBundle(&element)) return false;
    PatcherX86_32 patcher(Bytes(old_file), old_file.size());
    if (patcher.RebuildElement(&element, &blob) != C_OK) return false;
  }
  *out = ToString(blob);
  return true;
}

std::string DiffBytes(const std::string& old_bytes, const std::string& new_bytes) {
  ByteReader old_reader(Bytes(old_bytes), old_bytes.size());
  ByteReader new_reader(Bytes(new_bytes), new_bytes.size());
  ByteWriter diff;
  CreateByteDiff(&old_reader, &new_reader, &diff, false, 0);
  return ToString(diff);
}

bool MakeEnsemblePatch(const std::string& old_file, const std::string& new_file,
                       const std::vector<ElementSpec>& elements, EnsemblePatchParts* parts) {
  parts->source_checksum = ComputeCrc(old_file.data(), old_file.size());
  parts->target_checksum = ComputeCrc(new_file.data(), new_file.size());

  const std::string prediction = PredictionBytes(elements.size());
  std::string old_transformed, new_transformed, final_input;
  if (!TransformedBytes(old_file, OldRanges(elements), &old_transformed) ||
      !TransformedBytes(new_file, NewRanges(elements), &new_transformed) ||
      !FinalInput(old_file, new_transformed, elements.size(), &final_input))
    return false;
  parts->prediction = static_cast<uint32_t>(final_input.size());
  parts->streams = {ElementDescriptions(elements), DiffBytes(prediction, prediction),
                    DiffBytes(old_transformed, new_transformed),
                    DiffBytes(final_input, new_file)};
  return true;
}

EnsemblePatchParts WholeFileElementPatch(const std::string& old_file, uint32_t kind) {
  EnsemblePatchParts parts;
  const uint32_t length = static_cast<uint32_t>(old_file.size());
  parts.source_checksum = parts.target_checksum = ComputeCrc(old_file.data(), old_file.size());
  parts.prediction = length;
  parts.streams = {ElementDescriptions({{kind, 0, length, 0, length}}),
                   DiffBytes(PredictionBytes(1), PredictionBytes(1)), DiffBytes("", ""),
                   DiffBytes(old_file, old_file)};
  return parts;
}

std::string StreamSetBytes(const std::vector<std::string>& streams) {
  StreamBundleWriter set;
  set.SetCount(streams.size());
  for (size_t i = 0; i < streams.size() && i < set.count(); ++i)
    set.stream(i)->Write(streams[i].data(), streams[i].size());
  ByteWriter flat;
  set.SerializeTo(&flat);
  return ToString(flat);
}

std::string SerializeEnsemblePatch(const EnsemblePatchParts& parts) {
  ByteWriter out;
  const uint32_t fields[5] = {parts.magic, parts.version, parts.source_checksum,
                              parts.target_checksum, parts.prediction};
  for (int i = 0; i < parts.header_fields && i < 5; ++i) out.PutVarint(fields[i]);
  if (parts.header_fields >= 5 && parts.with_body) {
    const std::string body =
        parts.body_override.empty() ? StreamSetBytes(parts.streams) : parts.body_override;
    WriteLzma2Block(Bytes(body), body.size(), &out);
  }
  return ToString(out);
}

}  // namespace voxpatch_test
