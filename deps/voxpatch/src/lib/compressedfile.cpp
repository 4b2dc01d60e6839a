#include "compressedfile.h"

#include <memory>
#include <new>
#include <utility>

#include "bytediff.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "crc.h"
#include "executablecontainer.h"
#include "logstream.h"
#include "lzma2blockreader.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "outputbudget.h"
#include "stagedoutputfile.h"
#include "streambundlereader.h"

namespace voxpatch {

namespace {

// Re-assembles the encoded program held in one program_source stream and
// appends its bytes to programs.
bool AssembleProgram(ByteReader* program_source, ByteWriter* programs) {
  return AssembleContainerProgram(program_source, programs);
}

// Directive 2: the body is a stream set of encoded programs followed by a
// diff that turns their assembled bytes into the file.
bool UnpackExecutableAware(ByteReader* container, const OutputBudget& budget,
                           ByteWriter* output) {
  ByteWriter body;
  body.SetLimit(budget.decoded());
  if (!ReadLzma2Block(container, &body)) {
    LogMessage(kLogError, "could not decompress file");
    return false;
  }
  StreamBundleReader dis_and_diff;
  if (!dis_and_diff.Parse(body.Buffer(), body.Length())) {
    LogMessage(kLogError, "could not init dif_and_dis set");
    return false;
  }
  const size_t count = dis_and_diff.count();
  if (count < 2) {
    LogMessage(kLogError, "dis_and_diff too small");
    return false;
  }
  ByteWriter programs;
  programs.SetLimit(budget.programs());
  for (size_t i = 0; i + 1 < count; ++i) {
    if (!AssembleProgram(dis_and_diff.stream(i), &programs)) return false;
  }
  ByteReader old;
  old.Attach(programs);
  if (!ApplyByteDiff(old, dis_and_diff.stream(count - 1), output, false)) {
    LogMessage(kLogError, "could not apply diff");
    return false;
  }
  return true;
}

// Output of the plain decoder per round: the checksum and the write take
// each piece while it is still in the cache.
constexpr size_t kPlainChunk = 256u << 10;

// Directive 1, decoded as a stream: fixed-size pieces are checksummed and
// written as they come, into a file that takes the output's place only when
// the whole file matched its checksum.
bool UnpackPlain(const ByteReader& container, uint32_t checksum, const OutputBudget& budget,
                 const char* output_path) {
  Lzma2BlockReader reader;
  if (!reader.Open(container)) {
    LogMessage(kLogError, "could not decompress file");
    return false;
  }
  const uint64_t size = reader.declared_size();
  if (size > budget.output()) {
    LogMessage(kLogError, "LZMA2 block larger than allowed");
    LogMessage(kLogError, "could not decompress file");
    return false;
  }
  const size_t chunk = size < kPlainChunk ? static_cast<size_t>(size) : kPlainChunk;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[chunk == 0 ? 1 : chunk]);
  if (!buffer) {
    LogMessage(kLogError, "could not decompress file");
    return false;
  }
  StagedOutputFile output;
  if (!output.Open(output_path)) {
    LogMessage(kLogError, "could not write output file");
    return false;
  }
  uint32_t crc = ComputeCrc(nullptr, 0);
  for (uint64_t left = size; left != 0;) {
    const size_t n = left < chunk ? static_cast<size_t>(left) : chunk;
    if (!reader.ReadInto(buffer.get(), n)) {
      LogMessage(kLogError, "could not decompress file");
      return false;
    }
    crc = ExtendCrc(crc, buffer.get(), n);
    if (!output.Write(buffer.get(), n)) {
      LogMessage(kLogError, "could not write output file");
      return false;
    }
    left -= n;
  }
  size_t block_length = 0;
  if (!reader.Finish(&block_length)) {
    LogMessage(kLogError, "could not decompress file");
    return false;
  }
  reader.Close();
  if (crc != checksum) {
    LogMessage(kLogError, "crc mismatch");
    return false;
  }
  if (!output.Commit()) {
    LogMessage(kLogError, "could not write output file");
    return false;
  }
  return true;
}

bool WriteContainerHeader(uint32_t checksum, uint32_t directive, ByteWriter* out) {
  if (!out->PutVarint(kContainerMagic)) {
    LogMessage(kLogError, "could not write magic");
    return false;
  }
  if (!out->PutVarint(checksum)) {
    LogMessage(kLogError, "could not write crc");
    return false;
  }
  if (!out->PutVarint(directive)) {
    LogMessage(kLogError, "could not write preprocess directive");
    return false;
  }
  return true;
}

// Directive 2 writer.  Returns true when out holds a complete container;
// false sends the caller to plain compression.  fatal is set when the file
// must not be written at all.
bool BuildExecutableAwareContainer(const uint8_t* data, size_t length,
                                   uint32_t checksum, ByteWriter* out, bool* fatal) {
  return BuildExecutableContainer(data, length, checksum, out, fatal);
}

bool BuildPlainContainer(const uint8_t* data, size_t length, uint32_t checksum,
                         ByteWriter* out) {
  if (!WriteContainerHeader(checksum, kDirectivePlain, out)) return false;
  if (!WriteLzma2Block(data, length, out)) {
    LogMessage(kLogError, "could not compress file");
    return false;
  }
  return true;
}

}  // namespace

bool DecompressLzmaFile(const char* input_path, const char* output_path) {
  return DecompressLzmaFile(input_path, output_path, UINT64_MAX, true);
}

bool DecompressLzmaFile(const char* input_path, const char* output_path,
                        uint64_t max_output_size, bool allow_executable_aware) {
  MappedFile input(input_path, 0, MappedFile::kNormal);
  if (!input.IsValid()) {
    LogMessage(kLogError, "could not open lzma file");
    return false;
  }
  ByteReader container(input.Data(), static_cast<size_t>(input.Length()));
  uint32_t magic = 0;
  uint32_t checksum = 0;
  uint32_t directive = 0;
  if (!container.GetVarint(&magic) || !container.GetVarint(&checksum) ||
      !container.GetVarint(&directive)) {
    LogMessage(kLogError, "could not read lzma header");
    return false;
  }
  if (magic != kContainerMagic) {
    LogMessage(kLogError, "not lzma file");
    return false;
  }
  if (directive == kDirectiveExecutableAware && !allow_executable_aware) {
    LogMessage(kLogError, "executable-aware container not allowed here");
    return false;
  }
  const OutputBudget budget(max_output_size);
  if (directive == kDirectivePlain)
    return UnpackPlain(container, checksum, budget, output_path);
  if (directive != kDirectiveExecutableAware) {
    LogMessage(kLogError, "Unknown preprocessing dirrective");
    return false;
  }
  ByteWriter output;
  output.SetLimit(budget.output());
  if (!UnpackExecutableAware(&container, budget, &output)) return false;
  if (ComputeCrc(output.Buffer(), output.Length()) != checksum) {
    LogMessage(kLogError, "crc mismatch");
    return false;
  }
  if (!StagedOutputFile::WriteWhole(output_path, output.Buffer(), output.Length())) {
    LogMessage(kLogError, "could not write output file");
    return false;
  }
  return true;
}

bool CompressLzmaFile(const char* input_path, const char* output_path,
                      bool executable_aware) {
  MappedFile input(input_path, 0, MappedFile::kNormal);
  if (!input.IsValid()) {
    LogMessage(kLogError, "could not open file");
    return false;
  }
  const uint8_t* data = input.Data();
  const size_t length = static_cast<size_t>(input.Length());
  const uint32_t checksum = ComputeCrc(data, length);

  ByteWriter out;
  bool done = false;
  if (executable_aware) {
    bool fatal = false;
    done = BuildExecutableAwareContainer(data, length, checksum, &out, &fatal);
    if (fatal) return false;
  }
  if (!done) {
    ByteWriter plain;
    if (!BuildPlainContainer(data, length, checksum, &plain)) return false;
    out = std::move(plain);
  }
  if (WriteBufferToFile(output_path, out.Buffer(), out.Length()) < out.Length()) {
    LogMessage(kLogError, "could not write output file");
    return false;
  }
  return true;
}

}  // namespace voxpatch
