#include "executablecontainer.h"

#include <string>
#include <utility>

#include "bytediff.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "executableparser.h"
#include "logstream.h"
#include "lzmaioout.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

namespace voxpatch {

namespace {

const uint32_t kContainerMagicValue = 132781929;
const uint32_t kDirectiveExecutable = 2;

// Fat (universal) Mach-O files: big-endian header with up to eight slices.
const size_t kFatMinimumLength = 0x1000;
const uint32_t kFatMaxSlices = 8;
const size_t kFatRecordSize = 20;

uint32_t BigEndian32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

// Slices of a fat file.  True when slicing ran through without a stop and
// accepted at least one slice; a stop drops what was accepted before it.
bool SliceFatFile(const uint8_t* data, size_t length, std::vector<ContainerElement>* elements) {
  if (length < kFatMinimumLength) return false;
  if (data[0] != 0xCA || data[1] != 0xFE || data[2] != 0xBA || data[3] != 0xBE) return false;
  const uint32_t count = BigEndian32(data + 4);
  if (count > kFatMaxSlices) return false;

  std::vector<ContainerElement> accepted;
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* record = data + 8 + kFatRecordSize * i;
    const uint64_t offset = BigEndian32(record + 8);
    const uint64_t size = BigEndian32(record + 12);
    const uint64_t end = offset + size;  // 64 bits: cannot wrap
    if (end > length) return false;
    for (const ContainerElement& e : accepted) {
      if (offset < e.offset + e.length && end > e.offset) return false;
    }
    ExecutableKind kind = EXE_UNKNOWN;
    size_t detected = 0;
    if (IdentifyExecutable(data + offset, static_cast<size_t>(size), &kind, &detected) != C_OK)
      continue;
    if (detected > size) return false;
    accepted.push_back({offset, detected, kind});
  }
  if (accepted.empty()) return false;
  *elements = accepted;
  return true;
}

bool Fail(const char* message, int level = kLogError) {
  LogMessage(level, message);
  return false;
}

// Steps of the executable-aware writer; any failure is logged here.
bool WriteExecutableAware(const uint8_t* data, size_t length, uint32_t checksum,
                          const std::vector<ContainerElement>& elements, ByteWriter* out) {
  if (!out->PutVarint(kContainerMagicValue)) return Fail("could not write magic");
  if (!out->PutVarint(checksum)) return Fail("could not write crc");
  if (!out->PutVarint(kDirectiveExecutable)) return Fail("could not write preprocess directive");

  StreamBundleWriter dis_and_diff;
  dis_and_diff.SetCount(elements.size() + 1);
  ByteWriter programs;
  for (size_t i = 0; i < elements.size(); ++i) {
    const ContainerElement& e = elements[i];
    DisassembledProgram* program = nullptr;
    if (DisassembleExecutable(data + e.offset, static_cast<size_t>(e.length), &program) != C_OK)
      return Fail("could not parse file", kLogWarning);
    if (TrimLabels(program) != C_OK) {
      FreeDisassembledProgram(program);
      return Fail("could not trim labels");
    }
    EncodedProgram* encoded = nullptr;
    const PatchStatus encoded_status = EncodeReleasing(program, &encoded);
    FreeDisassembledProgram(program);
    if (encoded_status != C_OK) return Fail("could not encode program");

    StreamBundleWriter program_set;
    if (StoreEncodedProgram(encoded, &program_set) != C_OK) {
      FreeEncodedProgram(encoded);
      return Fail("could not write encode program");
    }
    if (!program_set.SerializeTo(dis_and_diff.stream(i))) {
      FreeEncodedProgram(encoded);
      return Fail("could not combine streams");
    }
    const PatchStatus rebuilt = RebuildExecutable(encoded, &programs);
    FreeEncodedProgram(encoded);
    if (rebuilt != C_OK) return Fail("could not assemble program");
  }

  {
    ByteReader old_bytes(programs.Buffer(), programs.Length());
    ByteReader new_bytes(data, length);
    if (!CreateByteDiff(&old_bytes, &new_bytes, dis_and_diff.stream(elements.size()), false, 0))
      return Fail("could not generate diff");
  }
  programs.ReleaseBuffer();

  ByteWriter body;
  if (!dis_and_diff.SerializeTo(&body)) return Fail("could not combine dis and dif");
  if (!WriteLzma2Block(body.Buffer(), body.Length(), out)) return Fail("could not compress file");
  return true;
}

}  // namespace

bool AssembleContainerProgram(ByteReader* program_source, ByteWriter* programs) {
  StreamBundleReader program_set;
  if (!program_set.Parse(*program_source)) return Fail("could not init program_source set");
  EncodedProgram* program = nullptr;
  if (LoadEncodedProgram(&program_set, &program, TableEntriesFor(programs->Room())) != C_OK)
    return Fail("could not read encoded program");
  const PatchStatus status = RebuildExecutable(program, programs);
  FreeEncodedProgram(program);
  if (status != C_OK) return Fail("could not assemble program");
  return true;
}

bool FindContainerElements(const uint8_t* data, size_t length,
                           std::vector<ContainerElement>* elements) {
  elements->clear();
  if (SliceFatFile(data, length, elements)) return true;
  elements->clear();

  ExecutableKind kind = EXE_UNKNOWN;
  size_t detected = 0;
  const PatchStatus status = IdentifyExecutable(data, length, &kind, &detected);
  if (status == C_INPUT_NOT_RECOGNIZED) return true;
  if (status != C_OK) {
    LogStream(kLogError) << "error detecting file type " << status;
    return false;
  }
  elements->push_back({0, detected, kind});
  return true;
}

bool BuildExecutableContainer(const uint8_t* data, size_t length, uint32_t checksum,
                                   ByteWriter* out, bool* fatal) {
  *fatal = false;
  std::vector<ContainerElement> elements;
  if (!FindContainerElements(data, length, &elements)) {
    *fatal = true;
    return false;
  }
  if (elements.empty()) return false;  // not an executable: plain compression
  for (const ContainerElement& e : elements)
    LogStream(kLogDebug) << "detected " << ExecutableKindName(e.kind);

  ByteWriter container;
  if (WriteExecutableAware(data, length, checksum, elements, &container)) {
    *out = std::move(container);
    return true;
  }
  LogMessage(kLogWarning, "falling back to default compression");
  out->ReleaseBuffer();
  return false;
}

}  // namespace voxpatch
