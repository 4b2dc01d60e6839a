#include "hostileinputs.h"

#include "bytewriter.h"
#include "compressedfile.h"
#include "crc.h"
#include "ensemblepatchbuilder.h"
#include "elfimagebuilder.h"
#include "executablekind.h"
#include "lzmaioout.h"
#include "machoimagebuilder.h"
#include "patchstatus.h"
#include "streambundlewriter.h"

namespace voxpatch_test {

namespace {

using voxpatch::ByteWriter;

std::string Str(const ByteWriter& w) {
  return std::string(reinterpret_cast<const char*>(w.Buffer()), w.Length());
}

std::string Varint(uint32_t v) {
  ByteWriter w;
  w.PutVarint(v);
  return Str(w);
}

// An LZMA2 block header claiming `declared` bytes, followed by a few bytes
// of chunk data: enough for a reader that trusts the size to start
// decoding, never enough to finish.
std::string ClaimingBlock(uint32_t declared) {
  return std::string(1, '\x1C') + Varint(declared) + std::string("\xE0\xFF\xFF\x00\x10\x5D", 6);
}

std::string Block(const std::string& data) {
  ByteWriter w;
  voxpatch::WriteLzma2Block(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &w);
  return Str(w);
}

std::string Container(uint32_t checksum, uint32_t directive, const std::string& block) {
  return Varint(voxpatch::kContainerMagic) + Varint(checksum) + Varint(directive) + block;
}

// A directive-2 body holding one encoded program of `ops` absolute-address
// references (each op one byte, each index one byte) and an empty diff.
std::string AbsoluteReferenceBody(uint32_t ops) {
  voxpatch::StreamBundleWriter program;
  program.stream(0)->PutVarint(0);  // image base
  program.stream(0)->PutVarint(0);  // no origins
  program.stream(1)->PutVarint(ops);
  program.stream(3)->PutVarint(ops);
  const std::string fours(ops, '\x04'), zeros(ops, '\0');
  program.stream(1)->Write(fours.data(), fours.size());
  program.stream(3)->Write(zeros.data(), zeros.size());
  for (size_t s : {2, 4, 6, 7}) program.stream(s)->PutVarint(0);
  program.stream(5)->PutVarint(1);  // one absolute label at 0
  program.stream(5)->PutVarint(0);
  ByteWriter program_bytes;
  program.SerializeTo(&program_bytes);
  return StreamSetBytes({Str(program_bytes), DiffBytes("", "")});
}

// A diff body (method 0) declaring `size` new bytes, with empty parts.
std::string ClaimingDiff(uint32_t size) {
  return std::string(1, '\0') + Varint(size) + Varint(3) + Varint(0) + Varint(0) + Varint(0) +
         Varint(0) + Varint(0);
}

}  // namespace

std::vector<HostileContainer> HostileContainers() {
  const std::string text(3000, 't');
  const uint32_t crc = voxpatch::ComputeCrc(text.data(), text.size());
  return {
      {"plain, 1 GiB", Container(crc, 1, ClaimingBlock(1u << 30)), 1u << 20, true,
       "LZMA2 block larger than allowed"},
      {"plain, 4 GiB, wrong checksum", Container(crc ^ 1, 1, ClaimingBlock(0xFFFFFFFFu)), 1u << 20,
       true, "LZMA2 block larger than allowed"},
      {"product list of 256 MiB", Container(crc, 1, ClaimingBlock(256u << 20)), 64u << 20, false,
       "LZMA2 block larger than allowed"},
      {"product list with directive 2", Container(crc, 2, Block(text)), 64u << 20, false,
       "executable-aware container not allowed here"},
      {"directive-2 body past its budget", Container(crc, 2, ClaimingBlock(200u << 20)), 1u << 20,
       true, "LZMA2 block larger than allowed"},
      {"program tables past their budget", Container(crc, 2, Block(AbsoluteReferenceBody(4000000))),
       1u << 20, true, "could not read encoded program"},
      {"program assembling past its budget",
       Container(crc, 2, Block(AbsoluteReferenceBody(2500000))), 1u << 20, true,
       "could not assemble program"},
  };
}

std::vector<HostilePatch> HostilePatches(const std::string& old_file, const std::string& new_file) {
  const uint32_t length = static_cast<uint32_t>(old_file.size());
  auto patch = [&](void (*mutate)(EnsemblePatchParts*, uint32_t)) {
    EnsemblePatchParts parts;
    MakeEnsemblePatch(old_file, new_file,
                      {{voxpatch::EXE_MACHO_X64, 0, length, 0,
                        static_cast<uint32_t>(new_file.size())}},
                      &parts);
    mutate(&parts, length);
    return SerializeEnsemblePatch(parts);
  };
  return {
      {"final correction writing 1 GiB",
       patch([](EnsemblePatchParts* p, uint32_t) { p->streams[3] = ClaimingDiff(1u << 30); }),
       voxpatch::C_GENERAL_ERROR},
      {"element correction writing 1 GiB",
       patch([](EnsemblePatchParts* p, uint32_t) { p->streams[2] = ClaimingDiff(1u << 30); }),
       voxpatch::C_GENERAL_ERROR},
      {"old file named as an element 20,000 times",
       patch([](EnsemblePatchParts* p, uint32_t length) {
         const std::vector<uint32_t> kinds(20000, voxpatch::EXE_MACHO_X64);
         const std::vector<std::pair<uint32_t, uint32_t>> ranges(20000, {0, length});
         p->streams[0] = ElementDescriptions(20000, kinds, ranges);
         p->streams[1] = DiffBytes(PredictionBytes(20000), PredictionBytes(20000));
       }),
       voxpatch::C_BAD_TRANSFORM},
      {"body stream past its budget",
       patch([](EnsemblePatchParts* p, uint32_t) {
         p->streams.push_back(std::string(12u << 20, '\0'));
       }),
       voxpatch::C_STREAM_ERROR},
  };
}

std::string OverlappingSectionsImage(uint32_t sections, uint32_t step, uint32_t code_size) {
  // The code starts on the first page behind the load commands.
  const uint32_t commands = 32 + 72 + 80 * sections;
  const uint32_t code = (commands + 0xFFF) & ~0xFFFu;
  MachOImageBuilder b(true);
  MachOSegment text;
  text.vm_size = code + code_size;
  text.file_size = code + code_size;
  for (uint32_t i = 0; i < sections; ++i) {
    MachOSection s;
    s.address = s.offset = code + i * step;
    s.size = code_size - i * step;
    text.sections.push_back(s);
  }
  b.AddSegment(text);
  std::string image = b.Build(code + code_size);
  // A call every 5 bytes to the start of the code.
  for (uint32_t at = code; at + 5 <= code + code_size; at += 5) {
    image[at] = static_cast<char>(0xE8);
    Poke32(&image, at + 1, code - (at + 5));
  }
  return image;
}

std::string OverlappingElfSectionsImage(uint32_t sections, uint32_t segments, uint32_t size) {
  // Code, relocations and data lie behind the program headers, `size` apart.
  const uint32_t code = (52 + 32 * segments + 0xFFFFF) & ~0xFFFFFu;
  const uint32_t relocs = code + size, data = relocs + size, end = data + size;
  ElfImage img;
  // Every program header but the last maps a few bytes; the last the file.
  img.segments.assign(segments, ElfSegment{1, end, end, 0x10, 0x10});
  img.segments.back() = ElfSegment{1, 0, 0, end, end};
  img.sections = {{0, 0, 0, 0}};
  img.sections.resize(1 + sections, ElfSection{1, code, code, size});
  img.sections.resize(1 + 2 * sections, ElfSection{9, 0, relocs, size, 8});
  img.sections.push_back({1, data, data, size});
  img.file_size = end + 0x10;
  std::string image = img.Build();
  for (uint32_t at = code; at + 5 <= code + size; at += 5) image[at] = '\xE8';
  for (uint32_t i = 0; i < size / 8; ++i) {
    Poke32(&image, relocs + 8 * i, data + 8 * i);
    Poke32(&image, relocs + 8 * i + 4, 8);  // R_386_RELATIVE
  }
  return image;
}

}  // namespace voxpatch_test
