// Runs a piece of a test in a forked child process and measures how far the
// child's resident memory peak rose while it ran, so that a test can bound
// the memory an operation takes without its own earlier allocations (or a
// runaway allocation) touching the test process.

#ifndef VOXPATCH_TESTS_CHILDPROCESS_H
#define VOXPATCH_TESTS_CHILDPROCESS_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

#include "procstatus.h"

namespace voxpatch_test {

struct ChildOutcome {
  bool finished = false;     // the child ran fn and reported back
  int result = -1;           // what fn returned
  long peak_growth_kib = -1; // resident peak while fn ran, minus resident size before
};

inline ChildOutcome RunInChild(const std::function<int()>& fn) {
  ChildOutcome outcome;
  int fds[2];
  if (::pipe(fds) != 0) return outcome;
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return outcome;
  }
  if (pid == 0) {
    ::close(fds[0]);
    // Resets the peak to the present resident size.
    if (std::FILE* clear = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", clear);
      std::fclose(clear);
    }
    const long before = ProcStatusKiB("VmRSS:");
    long report[2];
    report[0] = fn();
    report[1] = ProcStatusKiB("VmHWM:") - before;
    const ssize_t written = ::write(fds[1], report, sizeof report);
    ::_exit(written == static_cast<ssize_t>(sizeof report) ? 0 : 1);
  }
  ::close(fds[1]);
  long report[2];
  const ssize_t got = ::read(fds[0], report, sizeof report);
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (got == static_cast<ssize_t>(sizeof report) && WIFEXITED(status) &&
      WEXITSTATUS(status) == 0) {
    outcome.finished = true;
    outcome.result = static_cast<int>(report[0]);
    outcome.peak_growth_kib = report[1];
  }
  return outcome;
}

}  // namespace voxpatch_test

#endif  // VOXPATCH_TESTS_CHILDPROCESS_H
