#include "ensembleapplier.h"

#include <algorithm>
#include <new>
#include <string>

#include "bytediff.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "crc.h"
#include "executablekind.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "patchbodyreader.h"
#include "patcherx86_32.h"
#include "spilledbody.h"
#include "stagedoutputfile.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

namespace voxpatch {

namespace {

// An element's base offset and base length take at least two bytes.
const size_t kMinRangeBytes = 2;

// Bodies whose corrections take less than this are kept in memory: their
// dictionary and streams are small, and a file would cost more than it saves.
const uint64_t kSpillMinimum = 4u << 20;

// Applies one correction to a flattened set; the result is kept in storage
// and read back as a set.
PatchStatus Correct(const ByteReader& flat, bool flat_rereadable, ByteReader* correction,
                    ByteWriter* storage, StreamBundleReader* corrected) {
  // storage comes with its limit; the diff fails before passing it.  The
  // correction's bytes are the caller's and used once.
  ByteDiffStreaming streaming;
  streaming.release_consumed = true;
  streaming.old_head_rereadable = flat_rereadable;
  if (!ApplyByteDiff(flat, ByteReader(), correction, storage, false, streaming))
    return C_GENERAL_ERROR;
  if (!corrected->Parse(storage->Buffer(), storage->Length())) return C_STREAM_ERROR;
  return C_OK;
}

// Stream i of a body spilled from stream 2 on.
ByteReader SpilledStream(const PatchBodyReader& body, const SpilledBody& spill, size_t i) {
  return ByteReader(spill.data() + body.spill_offset(i),
                    static_cast<size_t>(body.stream_length(i)));
}

// Writes the flattened set into spill and maps it; the set's streams are
// emptied only once that succeeded (else it is left as it was).
bool SpillSet(StreamBundleWriter* set, SpilledBody* spill) {
  ByteWriter header;
  if (!set->SerializeHeaderTo(&header) || !spill->Write(header.Buffer(), header.Length()))
    return false;
  for (size_t i = 0; i < set->count(); ++i) {
    const ByteWriter* stream = set->stream(i);
    if (!spill->Write(stream->Buffer(), stream->Length())) return false;
  }
  if (!spill->Map()) return false;
  for (size_t i = 0; i < set->count(); ++i) set->stream(i)->ReleaseBuffer();
  return true;
}

// Writes the new file into its staged file as it is made; the file is made
// with the first bytes, so that an apply failing before has none.
class StagedDrain : public ByteDiffDrain {
 public:
  StagedDrain(StagedOutputFile* file, const char* path) : file_(file), path_(path) {}
  bool Take(const uint8_t* data, size_t n) override {
    if (!failed_ && !(Open() && file_->Write(data, n))) failed_ = true;
    return !failed_;
  }
  // Makes the file if no bytes did (an empty new file).
  bool Open() {
    if (!opened_) {
      opened_ = true;
      if (!file_->Open(path_)) failed_ = true;
    }
    return !failed_;
  }
  // The file could not be made or written (the apply then failed for it).
  bool failed() const { return failed_; }

 private:
  StagedOutputFile* file_;
  const char* path_;
  bool opened_ = false;
  bool failed_ = false;
};

// Checksums the new file on its way to the drain.
class ChecksummingDrain : public ByteDiffDrain {
 public:
  explicit ChecksummingDrain(ByteDiffDrain* next) : next_(next) {}
  bool Take(const uint8_t* data, size_t n) override {
    crc_ = ExtendCrc(crc_, data, n);
    return next_->Take(data, n);
  }
  uint32_t crc() const { return crc_; }

 private:
  ByteDiffDrain* next_;
  uint32_t crc_ = ComputeCrc(nullptr, 0);
};

}  // namespace

PatchStatus ReadEnsemblePatchHeader(ByteReader* patch, EnsemblePatchHeader* header) {
  if (!patch->GetVarint(&header->magic) || header->magic != kEnsembleMagic)
    return C_BAD_ENSEMBLE_MAGIC;
  if (!patch->GetVarint(&header->version) || header->version != kEnsembleVersion)
    return C_BAD_ENSEMBLE_VERSION;
  if (!patch->GetVarint(&header->source_checksum) ||
      !patch->GetVarint(&header->target_checksum) ||
      !patch->GetVarint(&header->final_size_prediction))
    return C_BAD_ENSEMBLE_HEADER;
  return C_OK;
}

EnsembleApplier::EnsembleApplier(const uint8_t* base, size_t base_length)
    : base_(base), base_length_(base_length) {}

EnsembleApplier::~EnsembleApplier() = default;

void EnsembleApplier::ReleaseBase() {
  if (base_file_ != nullptr) base_file_->ReleaseResidentPages();
}

PatchStatus EnsembleApplier::Apply(ByteReader* patch, ByteWriter* output) {
  PatchStatus status = ReadEnsemblePatchHeader(patch, &header_);
  if (status != C_OK) return status;

  if (ComputeCrc(base_, base_length_) != header_.source_checksum) return C_CRC_MISMATCH;
  ReleaseBase();

  // The body: one LZMA2 block holding a stream set of at least four
  // streams, decoded once from start to end.  The first two streams are
  // decoded first, the rest once the elements' parameters are corrected:
  // into a file, or stream by stream into memory (below); then the decoder,
  // and its dictionary as large as the body, is let go.
  // A body that turns out damaged further on still fails with a stream
  // error before anything is written.
  PatchBodyReader& body = body_;
  if (!body.Open(*patch, budget_.decoded()) || body.count() < 4) return C_STREAM_ERROR;
  ByteWriter description_bytes;
  ByteWriter parameter_correction_bytes;
  description_bytes.SetLimit(budget_.decoded());
  parameter_correction_bytes.SetLimit(budget_.decoded());
  if (!body.ReadStream(0, &description_bytes) ||
      !body.ReadStream(1, &parameter_correction_bytes))
    return C_STREAM_ERROR;

  // Transformation descriptions.  Every kind takes at least one byte, so a
  // larger count fails on a missing kind, and every base range at least two,
  // so a count the ranges cannot cover fails in Setup; both are known before
  // anything is allocated for the elements.
  ByteReader descriptions;
  descriptions.Attach(description_bytes);
  uint32_t element_count = 0;
  if (!descriptions.GetVarint(&element_count)) return C_BAD_ENSEMBLE_HEADER;
  if (element_count > descriptions.BytesLeft()) return C_BAD_ENSEMBLE_HEADER;
  {
    ByteReader ahead = descriptions;
    for (uint32_t i = 0; i < element_count; ++i) {
      uint32_t kind = 0;
      if (!ahead.GetVarint(&kind)) return C_BAD_ENSEMBLE_HEADER;
      if (kind < EXE_WIN_32_X86 || kind > EXE_MACHO_X64) return C_BAD_ENSEMBLE_HEADER;
    }
    if (element_count > ahead.BytesLeft() / kMinRangeBytes)
      return C_BAD_TRANSFORM;
    // The element ranges follow the kinds; they are read and checked before
    // anything is made for the elements.  The patch maker finds each
    // executable once, so ranges never overlap; overlapping ones only come
    // from crafted patches, which would have the same bytes disassembled
    // over and over.
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    try {
      ranges.reserve(element_count);
    } catch (...) {
      return C_GENERAL_ERROR;
    }
    PatcherX86_32 probe(base_, base_length_);
    for (uint32_t i = 0; i < element_count; ++i) {
      status = probe.Setup(&ahead);
      if (status != C_OK) return status;
      ranges.emplace_back(probe.base_offset(), probe.base_length());
    }
    if (!ahead.Empty()) return C_BAD_ENSEMBLE_HEADER;
    std::sort(ranges.begin(), ranges.end());
    uint64_t covered_to = 0;
    for (const auto& range : ranges) {
      if (range.second == 0) continue;
      if (range.first < covered_to) return C_BAD_TRANSFORM;
      covered_to = static_cast<uint64_t>(range.first) + range.second;
    }
  }
  try {
    patchers_.reserve(element_count);
  } catch (...) {
    return C_GENERAL_ERROR;
  }
  for (uint32_t i = 0; i < element_count; ++i) {
    uint32_t kind = 0;
    descriptions.GetVarint(&kind);
    // Every kind is served by the same patcher; the element's real type is
    // detected again when it is transformed.
    PatcherX86_32* patcher = new (std::nothrow) PatcherX86_32(base_, base_length_);
    if (patcher == nullptr) return C_GENERAL_ERROR;
    // The corrected elements are kept in element storage below, which is
    // not read again once an element is loaded.
    patcher->SetTransformedDisposable(true);
    patcher->SetBaseRereadable(base_file_ != nullptr);
    // An old element is not walked into more than the new elements may take.
    patcher->SetProgramLimit(budget_.programs());
    patchers_.emplace_back(patcher);
  }
  // The ranges were checked above; Setup takes them as they are.
  for (auto& patcher : patchers_) {
    status = patcher->Setup(&descriptions);
    if (status != C_OK) return status;
  }
  const bool with_elements = !patchers_.empty();

  // Predicted parameters, then their correction.
  StreamBundleReader parameters;
  ByteWriter parameter_storage;
  parameter_storage.SetLimit(budget_.decoded());
  {
    StreamBundleWriter prediction;
    for (auto& patcher : patchers_) {
      StreamBundleWriter predicted;
      status = patcher->PredictParameters(&predicted);
      if (status != C_OK) return status;
      if (!prediction.PutNestedBundle(&predicted)) return C_STREAM_ERROR;
    }
    ByteWriter flat;
    if (!prediction.SerializeTo(&flat)) return C_STREAM_ERROR;
    ByteReader correction;
    correction.Attach(parameter_correction_bytes);
    ByteReader flat_bytes;
    flat_bytes.Attach(flat);
    status = Correct(flat_bytes, false, &correction, &parameter_storage, &parameters);
    if (status != C_OK) return status;
  }

  // The rest of the body (the element and final corrections and whatever
  // follows) is decoded now.  With elements, a large rest goes into a
  // temporary file where there is a folder for it: the decoder's
  // dictionary, which fills up to the size of the body, is gone before the
  // elements are transformed, and the corrections are read from the file's
  // mapping as they are used.  Otherwise the two corrections are read into
  // memory, each when it is needed.
  SpilledBody spill;
  bool spilled = false;
  uint64_t rest = 0;
  for (size_t i = 2; i < body.count(); ++i) rest += body.stream_length(i);
  if (with_elements && rest >= kSpillMinimum && spill_folder_ != nullptr &&
      spill.Create(*spill_folder_)) {
    spilled = body.Spill(2, &spill);
    // A body that cannot be decoded fails as it would have further on; a
    // file that could not be written leaves the corrections to memory (the
    // body then has to be decoded again).
    if (!spilled && !spill.failed()) return C_STREAM_ERROR;
  }

  // Transform the old elements, then correct them into the new ones.
  StreamBundleReader elements;
  ByteWriter element_storage;
  element_storage.SetLimit(budget_.decoded());
  {
    ByteWriter flat;
    // With a spilled body the old elements go to a file of their own too:
    // the correction reads them from its mapping, whose pages it hands back
    // behind it.
    SpilledBody flat_spill;
    bool flat_spilled = false;
    {
      StreamBundleWriter transformed;
      for (auto& patcher : patchers_) {
        StreamBundleReader element_parameters;
        if (!parameters.GetNestedBundle(&element_parameters)) return C_STREAM_ERROR;
        StreamBundleWriter element;
        status = patcher->TransformElement(&element_parameters, &element);
        if (status != C_OK) return status;
        if (!element_parameters.Empty()) return C_STREAM_NOT_CONSUMED;
        if (!transformed.PutNestedBundle(&element)) return C_STREAM_ERROR;
      }
      if (!parameters.Empty()) return C_STREAM_NOT_CONSUMED;
      // The old bytes are next needed by the final correction.
      if (with_elements) ReleaseBase();
      if (spilled && flat_spill.Create(*spill_folder_))
        flat_spilled = SpillSet(&transformed, &flat_spill);
      if (!flat_spilled && !transformed.SerializeTo(&flat)) return C_STREAM_ERROR;
    }
    parameter_storage.ReleaseBuffer();
    ByteWriter correction_bytes;
    ByteReader correction;
    if (spilled) {
      correction = SpilledStream(body, spill, 2);
    } else {
      correction_bytes.SetLimit(budget_.decoded());
      if (!body.ReadStream(2, &correction_bytes)) return C_STREAM_ERROR;
      correction.Attach(correction_bytes);
    }
    ByteReader flat_bytes;
    if (flat_spilled)
      flat_bytes = ByteReader(flat_spill.data(), static_cast<size_t>(flat_spill.length()));
    else
      flat_bytes.Attach(flat);
    status = Correct(flat_bytes, flat_spilled, &correction, &element_storage, &elements);
    if (status != C_OK) return status;
  }
  // The final correction follows right behind the element correction, and
  // is read now that the old elements and the element correction are gone.
  // The decoder goes with it, before the elements are rebuilt, without the
  // body being decoded again.
  ByteWriter final_correction_bytes;
  if (!spilled) {
    final_correction_bytes.SetLimit(budget_.decoded());
    if (!body.ReadStream(3, &final_correction_bytes) || !body.Finish()) return C_STREAM_ERROR;
    body.Suspend();
  }

  // Rebuild the new elements.  The final correction reads the old file
  // followed by them; the old file is read where it is mapped instead of
  // being copied in front of them.
  ByteWriter rebuilt;
  rebuilt.SetLimit(budget_.programs());
  if (with_elements) {
    // The prediction is only a hint: never reserve more than the corrected
    // elements, which the rebuilt bytes follow closely.
    uint64_t reserve = header_.final_size_prediction > base_length_
                           ? header_.final_size_prediction - base_length_
                           : 0;
    if (reserve > element_storage.Length()) reserve = element_storage.Length();
    if (reserve > rebuilt.Limit()) reserve = rebuilt.Limit();
    if (!rebuilt.Reserve(static_cast<size_t>(reserve))) return C_STREAM_ERROR;
    for (auto& patcher : patchers_) {
      StreamBundleReader element;
      if (!elements.GetNestedBundle(&element)) return C_STREAM_ERROR;
      status = patcher->RebuildElement(&element, &rebuilt);
      if (status != C_OK) return status;
      if (!element.Empty()) return C_STREAM_NOT_CONSUMED;
    }
    if (!elements.Empty()) return C_STREAM_NOT_CONSUMED;
  } else if (!elements.Empty()) {
    return C_STREAM_NOT_CONSUMED;
  }
  element_storage.ReleaseBuffer();

  // Final correction; the rest of the body was checked when it was read.
  ByteReader final_correction;
  if (spilled)
    final_correction = SpilledStream(body, spill, 3);
  else
    final_correction.Attach(final_correction_bytes);
  ByteReader rebuilt_bytes;
  rebuilt_bytes.Attach(rebuilt);
  // The correction is read once; the new file may go straight on.
  ChecksummingDrain drain(drain_);
  ByteDiffStreaming streaming;
  streaming.release_consumed = true;
  streaming.old_head_rereadable = base_file_ != nullptr;
  if (drain_ != nullptr) streaming.drain = &drain;
  if (!ApplyByteDiff(ByteReader(base_, base_length_), rebuilt_bytes, &final_correction, output,
                     false, streaming))
    return C_GENERAL_ERROR;
  rebuilt.ReleaseBuffer();
  final_correction_bytes.ReleaseBuffer();
  const uint32_t crc =
      drain_ != nullptr ? drain.crc() : ComputeCrc(output->Buffer(), output->Length());
  if (crc != header_.target_checksum) return C_CRC_MISMATCH;
  return C_OK;
}

PatchStatus ApplyPatchFiles(const oschar* old_path, const oschar* patch_path,
                            const oschar* new_path) {
  return ApplyPatchFiles(old_path, patch_path, new_path, UINT64_MAX);
}

PatchStatus ApplyPatchFiles(const oschar* old_path, const oschar* patch_path,
                            const oschar* new_path, uint64_t max_output_size) {
  MappedFile patch_file(patch_path, 0, MappedFile::kNormal);
  if (!patch_file.IsValid()) return C_PATCH_NOT_OPENED;

  // The header is checked before the old file is touched.
  {
    ByteReader header_stream(patch_file.Data(), static_cast<size_t>(patch_file.Length()));
    EnsemblePatchHeader header;
    const PatchStatus status = ReadEnsemblePatchHeader(&header_stream, &header);
    if (status != C_OK) return status;
  }

  MappedFile old_file(old_path, 0, MappedFile::kNormal);
  if (!old_file.IsValid()) return C_OLD_FILE_ERROR;

  const OutputBudget budget(max_output_size);
  ByteWriter output;
  output.SetLimit(budget.output());
  // The new file goes beside the new path while it is made and is put in
  // place whole once its checksum matched, so a failed apply or write
  // leaves the path untouched.  A path that is not a regular file is only
  // written once everything succeeded.  A staged file that cannot be made
  // or written fails the apply as a failed write.
  StagedOutputFile staged;
  StagedDrain drain(&staged, new_path);
  const bool streamed = StagedOutputFile::Stages(new_path);
  PatchStatus status = C_OK;
  {
    EnsembleApplier applier(old_file.Data(), static_cast<size_t>(old_file.Length()));
    applier.SetBaseFile(&old_file);
    applier.SetBudget(budget);
    if (streamed) applier.SetOutputDrain(&drain);
    // Temporary files go beside the new file, where it is written anyway.
    const std::string path(new_path);
    const std::string::size_type slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    applier.SetSpillFolder(&folder);
    ByteReader patch_stream(patch_file.Data(), static_cast<size_t>(patch_file.Length()));
    status = applier.Apply(&patch_stream, &output);
  }
  old_file.Close();
  patch_file.Close();
  // The staged file goes with `staged`.  A new file that could not be
  // written is reported as such, as when it was written at the end.
  if (status != C_OK) return streamed && drain.failed() ? C_OLD_FILE_ERROR : status;

  if (streamed) return drain.Open() && staged.Commit() ? C_OK : C_OLD_FILE_ERROR;
  if (!StagedOutputFile::WriteWhole(new_path, output.Buffer(), output.Length()))
    return C_OLD_FILE_ERROR;
  return C_OK;
}

}  // namespace voxpatch
