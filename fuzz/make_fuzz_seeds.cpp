// Writes the seed corpora of the fuzz targets (fuzz/corpus/<target>/) from
// the engine's own writers and the Mach-O and ELF test fixtures, so that every
// target starts from valid inputs that reach its deep code:
//   make_fuzz_seeds <fixture folder> <corpus folder>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bytediff.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "compressedfile.h"
#include "ensemblepatchbuilder.h"
#include "executablekind.h"
#include "lzmaioout.h"
#include "UpdateMessage.pb.h"

using namespace voxpatch;
using voxpatch_test::ElementSpec;
using voxpatch_test::EnsemblePatchParts;

namespace {

std::string g_fixtures;
std::string g_corpus;
bool g_failed = false;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Fixture(const std::string& name) {
  const std::string data = ReadFile(g_fixtures + "/" + name);
  if (data.empty()) {
    std::fprintf(stderr, "missing fixture %s\n", name.c_str());
    g_failed = true;
  }
  return data;
}

std::string Str(const ByteWriter& w) {
  return std::string(reinterpret_cast<const char*>(w.Buffer()), w.Length());
}

void Seed(const std::string& target, const std::string& name, const std::string& data) {
  const std::string folder = g_corpus + "/" + target;
  ::mkdir(folder.c_str(), 0755);
  std::ofstream(folder + "/" + name, std::ios::binary | std::ios::trunc) << data;
}

// The container CompressLzmaFile writes for data.
std::string Container(const std::string& data, bool executable_aware) {
  const std::string in = g_corpus + "/.seed-in";
  const std::string out = g_corpus + "/.seed-out";
  std::ofstream(in, std::ios::binary | std::ios::trunc) << data;
  std::string container;
  if (CompressLzmaFile(in.c_str(), out.c_str(), executable_aware)) container = ReadFile(out);
  std::remove(in.c_str());
  std::remove(out.c_str());
  if (container.empty()) g_failed = true;
  return container;
}

// The decoded body of a container (behind its three header varints).
std::string ContainerBody(const std::string& container) {
  ByteReader r(reinterpret_cast<const uint8_t*>(container.data()), container.size());
  uint32_t ignored = 0;
  ByteWriter body;
  if (!r.GetVarint(&ignored) || !r.GetVarint(&ignored) || !r.GetVarint(&ignored) ||
      !ReadLzma2Block(&r, &body))
    g_failed = true;
  return Str(body);
}

std::string Text(size_t n) {
  std::string s;
  while (s.size() < n) s += "[Frameworks]\nlib.dylib=0123456789abcdef::4096\n";
  return s.substr(0, n);
}

void ContainerSeeds() {
  const std::vector<std::string> executables = {"macho64_exe_v1", "macho32_dylib_v1",
                                                "macho_fat_v1"};
  Seed("lzmafile_fuzz", "plain_text", Container(Text(2000), false));
  for (const std::string& name : executables) {
    const std::string container = Container(Fixture(name), true);
    Seed("lzmafile_fuzz", "aware_" + name, container);
    Seed("container_directive2_fuzz", "file_" + name, std::string(1, '\0') + container);
    Seed("container_directive2_fuzz", "body_" + name, std::string(1, '\1') + ContainerBody(container));
  }
}

void EnsembleSeeds() {
  // The target patches this old file.
  const std::string old_file = Fixture("macho64_exe_v1");
  const std::string new_file = Fixture("macho64_exe_v2");
  struct Variant {
    const char* name;
    std::vector<ElementSpec> elements;
  };
  const std::vector<Variant> variants = {
      {"no_elements", {}},
      {"macho_element",
       {{EXE_MACHO_X64, 0, static_cast<uint32_t>(old_file.size()), 0,
         static_cast<uint32_t>(new_file.size())}}},
  };
  for (const Variant& v : variants) {
    EnsemblePatchParts parts;
    if (!voxpatch_test::MakeEnsemblePatch(old_file, new_file, v.elements, &parts)) {
      g_failed = true;
      continue;
    }
    Seed("ensemble_apply_fuzz", std::string("patch_") + v.name,
         std::string(1, '\0') + voxpatch_test::SerializeEnsemblePatch(parts));
    Seed("ensemble_apply_fuzz", std::string("body_") + v.name,
         std::string(1, '\1') + voxpatch_test::StreamSetBytes(parts.streams));
  }
}

void DiffSeeds() {
  // flags (bit 0: header form), old length, old bytes, diff.
  const std::string old_bytes = Text(200);
  std::string new_bytes = old_bytes.substr(20, 120) + "inserted" + old_bytes.substr(150);
  new_bytes[7] ^= 0x20;
  for (int method = 0; method <= 2; ++method) {
    for (bool header : {false, true}) {
      ByteReader old_reader(reinterpret_cast<const uint8_t*>(old_bytes.data()), old_bytes.size());
      ByteReader new_reader(reinterpret_cast<const uint8_t*>(new_bytes.data()), new_bytes.size());
      ByteWriter diff;
      if (!CreateByteDiff(&old_reader, &new_reader, &diff, header, method)) g_failed = true;
      Seed("bytediff_fuzz", "method" + std::to_string(method) + (header ? "_header" : ""),
           std::string(1, header ? '\1' : '\0') + std::string(1, static_cast<char>(old_bytes.size())) +
               old_bytes + Str(diff));
    }
  }
}

void BlockSeeds() {
  auto block = [](const std::string& data) {
    ByteWriter w;
    if (!WriteLzma2Block(reinterpret_cast<const uint8_t*>(data.data()), data.size(), &w))
      g_failed = true;
    return Str(w);
  };
  Seed("lzma2block_fuzz", "text", block(Text(3000)));
  Seed("lzma2block_fuzz", "empty_then_text", block("") + block(Text(500)));
  Seed("lzma2block_fuzz", "fixture", block(Fixture("macho32_exe_v1")));
}

void MachOSeeds() {
  for (const char* name : {"macho32_exe_v1", "macho32_dylib_v2", "macho32_bundle_v1",
                           "macho64_exe_v1", "macho64_dylib_v2", "macho64_bundle_v1",
                           "macho64_dataonly"})
    Seed("macho_disassembler_fuzz", name, Fixture(name));
}

// ELF files whose section tables send the file walk back over its bytes: separate debug files
// (4 to 7 bytes walked per byte) and linked programs with shuffled tables.
void ElfSeeds() {
  for (const char* name : {"elf64_gcc_debug_v1", "elf64_gcc_debug_v2", "elf64_gcc_debug_shuffled_v1",
                           "elf64_gcc_debug_shuffled_v2", "elf32_lld_pie_shuffled_v1",
                           "elf32_lld_pie_passover_v1", "elf64_lld_pie_shuffled_v1",
                           "arm_lld_pie_shuffled_v1"})
    Seed("elf_disassembler_fuzz", name, Fixture(name));
}

// Banner server replies as the socket delivers them: a good one, and the near misses.
void BannerSeeds() {
  Seed("banner_reply_fuzz", "good", "http://i.example/b.jpg,https://c.example/?a=1&b=%20");
  Seed("banner_reply_fuzz", "empty_click", "http://i.example/b.jpg,");
  Seed("banner_reply_fuzz", "three_parts", "http://i.example/b.jpg,http://c.example/,");
  Seed("banner_reply_fuzz", "line_end", "http://i.example/b.jpg,http://c.example/\r\n");
  Seed("banner_reply_fuzz", "latin1", "http://i.ex\xe4mple:8080/b.jpg,http://[::1]:9/\xff");
  Seed("banner_reply_fuzz", "long", "http://i.example/" + std::string(1100, 'x') + ",http://c/");
}

// Version-service replies: the usual three channels, a repeated name, unknown fields.
void VersionSeeds() {
  struct Channel {
    const char* name;
    int32_t number;
    const char* text;
  };
  auto reply = [](int32_t licence, std::initializer_list<Channel> channels) {
    com::voxtrel::update::Versions versions;
    versions.set_licenseagreementid(licence);
    for (const Channel& c : channels) {
      auto* channel = versions.add_channels();
      channel->set_name(c.name);
      channel->set_version_number(c.number);
      channel->set_version_string(c.text);
    }
    return versions.SerializeAsString();
  };
  Seed("version_reply_fuzz", "three_channels",
       reply(17, {{"stable", 42, "3.1.0"}, {"beta", 43, "3.2.0 beta"}, {"alpha", 44, "3.3.0a"}}));
  Seed("version_reply_fuzz", "repeated_name", reply(1, {{"beta", 5, "five"}, {"beta", 6, "six"}}));
  Seed("version_reply_fuzz", "no_channels", reply(-1, {}));
  Seed("version_reply_fuzz", "odd_names",
       reply(0, {{"", -2147483647 - 1, ""}, {"\xc3\xa4\xff", 2147483647, "\xfe"}}));
  // Field 9 (varint) and field 10 (bytes) are not in the schema and are skipped.
  Seed("version_reply_fuzz", "unknown_fields",
       reply(3, {{"stable", 1, "1"}}) + std::string("\x48\x01\x52\x02zz", 6));
}

// HTTP replies as a connection delivers them, each behind the option byte of http_reply_fuzz
// (piece size, buffer, reader, end): honest framings and the hostile ones the client refuses.
void HttpReplySeeds() {
  auto seed = [](const char* name, char options, const std::string& reply) {
    Seed("http_reply_fuzz", name, std::string(1, options) + reply);
  };
  const std::string body = "0123456789abcdef0123456789abcdef";
  seed("content_length", 0x03, "HTTP/1.1 200 OK\r\nContent-Length: 32\r\nContent-Type: x/y\r\n\r\n" + body);
  seed("chunked", 0x01,
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10;a=b\r\n" + body.substr(0, 16) +
           "\r\n10\r\n" + body.substr(16) + "\r\n0\r\nX-Trailer: t\r\n\r\n");
  seed("to_close", 0x02, "HTTP/1.0 200 OK\r\n\r\n" + body);
  seed("to_close_reset", 0x12, "HTTP/1.1 200 OK\r\n\r\n" + body);
  seed("interim_then_204", 0x00, "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\nX: 1\r\n \tfolded\r\n\r\n");
  seed("status_404", 0x07, "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\n\r\nnot found");
  seed("lengths_agree", 0x03, "HTTP/1.1 200 OK\r\nContent-Length: 4, 4\r\ncontent-length: 4\r\n\r\nabcd");
  seed("honest_length", 0x23, body + body);
  seed("honest_chunked", char(0xe1), body + body);
  seed("coding_gzip_chunked", 0x03, "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n");
  seed("coding_chunked_gzip", 0x03, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\n\r\n4\r\nabcd\r\n0\r\n\r\n");
  seed("empty_length", 0x03, "HTTP/1.1 200 OK\r\nContent-Length:\r\n\r\n" + body);
  seed("chunk_0x", 0x03, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0x4\r\nabcd\r\n0\r\n\r\n");
  seed("version_9", 0x03, "HTTP/9 200 OK\r\nContent-Length: 1\r\n\r\na");
  std::string many = "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n";
  for (int i = 0; i < 9000; ++i)
    many += std::to_string(i) + ":\r\n";
  seed("many_empty_headers", 0x03, many + "\r\na");
  seed("padded_under", 0x43, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd");
  seed("padded_over", char(0xc3), "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd");
  seed("header_too_long", 0x03, "HTTP/1.1 200 OK\r\nX: " + std::string(65536, 'h') + "\r\n\r\n");
  // Field and chunk lines: extensions, quoted strings and trailers the client reads, and the lines
  // it refuses (no colon, a name that is no token, chunk lines ended by a bare LF).
  seed("chunk_extensions", 0x01,
       "HTTP/1.1 200 OK\nTransfer-Encoding: chunked\n\n4 ; a = b ;c=\"q \\\" d\";e\r\nabcd\r\n"
       "0;last\r\nX-T: 1\nX-U:\r\n\n");
  seed("field_without_colon", 0x03, "HTTP/1.1 200 OK\r\nContent-Length 4\r\n\r\nabcd");
  seed("field_name_nul", 0x03,
       std::string("HTTP/1.1 200 OK\r\nTransfer-Encoding\0: chunked\r\n\r\n4\r\nabcd\r\n0\r\n\r\n", 62));
  seed("chunk_lines_lf", 0x01, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n4\nabcd\n0\n\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <fixture folder> <corpus folder>\n", argv[0]);
    return 2;
  }
  g_fixtures = argv[1];
  g_corpus = argv[2];
  ::mkdir(g_corpus.c_str(), 0755);
  ContainerSeeds();
  EnsembleSeeds();
  DiffSeeds();
  BlockSeeds();
  MachOSeeds();
  ElfSeeds();
  BannerSeeds();
  VersionSeeds();
  HttpReplySeeds();
  return g_failed ? 1 : 0;
}
