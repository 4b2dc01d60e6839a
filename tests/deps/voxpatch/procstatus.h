// One figure of this process's /proc/self/status, for tests and benchmarks
// that look at resident memory.

#ifndef VOXPATCH_TESTS_PROCSTATUS_H
#define VOXPATCH_TESTS_PROCSTATUS_H

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace voxpatch_test {

// The value in KiB of a field such as "VmHWM:" or "RssFile:"; -1 when the
// field cannot be read.
inline long ProcStatusKiB(const char* field) {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  const size_t length = std::strlen(field);
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::strncmp(line, field, length) == 0) kib = std::strtol(line + length, nullptr, 10);
  }
  std::fclose(status);
  return kib;
}

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_PROCSTATUS_H
