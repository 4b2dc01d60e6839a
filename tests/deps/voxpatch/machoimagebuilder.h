// Builds small synthetic Mach-O images for tests and benchmarks: a header,
// segment load commands with section records, and raw extra commands.
// Nothing is checked, so malformed images are as easy to make as good ones.

#ifndef VOXPATCH_TESTS_MACHOIMAGEBUILDER_H
#define VOXPATCH_TESTS_MACHOIMAGEBUILDER_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imagepoke.h"

namespace voxpatch_test {

constexpr uint32_t kSectionCode = 0x80000400u;  // pure + some instructions, regular
constexpr uint32_t kSectionData = 0x0u;

struct MachOSection {
  uint64_t address = 0;
  uint64_t size = 0;
  uint32_t offset = 0;
  uint32_t flags = kSectionCode;
};

struct MachOSegment {
  uint64_t address = 0;
  uint64_t vm_size = 0;
  uint64_t file_offset = 0;
  uint64_t file_size = 0;
  std::vector<MachOSection> sections;
  // When non-zero, overrides the section count written into the command
  // (the records written stay those of `sections`).
  uint32_t section_count_override = 0;
  // When non-zero, overrides the command size.
  uint32_t command_size_override = 0;
};

class MachOImageBuilder {
 public:
  explicit MachOImageBuilder(bool is64) : is64_(is64) {
    magic = is64 ? 0xFEEDFACFu : 0xFEEDFACEu;
    cpu_type = is64 ? 0x01000007u : 7u;
  }

  uint32_t magic;
  uint32_t cpu_type;
  uint32_t file_type = 2;
  // When set, overrides the number of load commands in the header.
  bool command_count_set = false;
  uint32_t command_count = 0;

  // Adds a segment command of the file's own width.
  void AddSegment(const MachOSegment& segment) { AddSegment(segment, is64_); }

  // Adds a segment command of the given width.
  void AddSegment(const MachOSegment& segment, bool wide) {
    std::string cmd;
    const uint32_t count = segment.section_count_override != 0
                               ? segment.section_count_override
                               : static_cast<uint32_t>(segment.sections.size());
    if (wide) {
      const uint32_t size = segment.command_size_override != 0
                                ? segment.command_size_override
                                : 72 + 80 * static_cast<uint32_t>(segment.sections.size());
      Put32(&cmd, 0x19);
      Put32(&cmd, size);
      cmd.append(16, '\0');
      Put64(&cmd, segment.address);
      Put64(&cmd, segment.vm_size);
      Put64(&cmd, segment.file_offset);
      Put64(&cmd, segment.file_size);
      Put32(&cmd, 7);
      Put32(&cmd, 5);
      Put32(&cmd, count);
      Put32(&cmd, 0);
      for (const MachOSection& s : segment.sections) {
        cmd.append(32, '\0');
        Put64(&cmd, s.address);
        Put64(&cmd, s.size);
        Put32(&cmd, s.offset);
        Put32(&cmd, 0);
        Put32(&cmd, 0);
        Put32(&cmd, 0);
        Put32(&cmd, s.flags);
        Put32(&cmd, 0);
        Put32(&cmd, 0);
        Put32(&cmd, 0);
      }
    } else {
      const uint32_t size = segment.command_size_override != 0
                                ? segment.command_size_override
                                : 56 + 68 * static_cast<uint32_t>(segment.sections.size());
      Put32(&cmd, 0x1);
      Put32(&cmd, size);
      cmd.append(16, '\0');
      Put32(&cmd, static_cast<uint32_t>(segment.address));
      Put32(&cmd, static_cast<uint32_t>(segment.vm_size));
      Put32(&cmd, static_cast<uint32_t>(segment.file_offset));
      Put32(&cmd, static_cast<uint32_t>(segment.file_size));
      Put32(&cmd, 7);
      Put32(&cmd, 5);
      Put32(&cmd, count);
      Put32(&cmd, 0);
      for (const MachOSection& s : segment.sections) {
        cmd.append(32, '\0');
        Put32(&cmd, static_cast<uint32_t>(s.address));
        Put32(&cmd, static_cast<uint32_t>(s.size));
        Put32(&cmd, s.offset);
        Put32(&cmd, 0);
        Put32(&cmd, 0);
        Put32(&cmd, 0);
        Put32(&cmd, s.flags);
        Put32(&cmd, 0);
        Put32(&cmd, 0);
      }
    }
    commands_.push_back(cmd);
  }

  // Adds a command of any type whose body is `payload` (size = 8 + payload
  // unless overridden).
  void AddRawCommand(uint32_t cmd_type, const std::string& payload,
                     uint32_t size_override = 0) {
    std::string cmd;
    Put32(&cmd, cmd_type);
    Put32(&cmd, size_override != 0 ? size_override
                                   : static_cast<uint32_t>(8 + payload.size()));
    cmd += payload;
    commands_.push_back(cmd);
  }

  size_t HeaderSize() const { return is64_ ? 32 : 28; }

  // Size of the header plus all load commands.
  size_t CommandsEnd() const {
    size_t n = HeaderSize();
    for (const std::string& c : commands_) n += c.size();
    return n;
  }

  // The image: header, commands, then zeros up to file_size (at least the
  // commands' end).
  std::string Build(size_t file_size) const {
    std::string out;
    Put32(&out, magic);
    Put32(&out, cpu_type);
    Put32(&out, 3);
    Put32(&out, file_type);
    Put32(&out, command_count_set ? command_count
                                  : static_cast<uint32_t>(commands_.size()));
    size_t total = 0;
    for (const std::string& c : commands_) total += c.size();
    Put32(&out, static_cast<uint32_t>(total));
    Put32(&out, 0);
    if (is64_) Put32(&out, 0);
    for (const std::string& c : commands_) out += c;
    if (out.size() < file_size) out.resize(file_size, '\0');
    return out;
  }

  static void Put32(std::string* s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
  }
  static void Put64(std::string* s, uint64_t v) {
    for (int i = 0; i < 8; ++i) s->push_back(static_cast<char>(v >> (8 * i)));
  }

 private:
  bool is64_;
  std::vector<std::string> commands_;
};

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_MACHOIMAGEBUILDER_H
