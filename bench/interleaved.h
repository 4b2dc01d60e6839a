// Side-by-side measurement for the benchmark programs: the sides of a
// comparison run in turn, round after round (the order rotating each
// round), so that a busy machine slows them alike; each side's median is
// then reported through the benchmark library (time and bytes per second
// as it prints them) together with its ratio to the other sides.  Programs
// used as references run as child processes under a chosen huge-page
// policy, the same one the project's own child gets.

#ifndef VOXPATCH_BENCH_INTERLEAVED_H
#define VOXPATCH_BENCH_INTERLEAVED_H

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace vxbench {

struct Side {
  std::string name;
  // One run; false when it failed.  peak_kib may be set to the run's peak.
  std::function<bool(long* peak_kib)> run;
};

struct SideResult {
  double median_seconds = 0;
  long median_peak_kib = -1;
  bool ok = true;
};

inline double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs every side once per round, rotating which one goes first.
inline std::vector<SideResult> MeasureInterleaved(const std::vector<Side>& sides, int rounds) {
  std::vector<std::vector<double>> times(sides.size()), peaks(sides.size());
  std::vector<SideResult> results(sides.size());
  for (int round = 0; round < rounds; ++round) {
    for (size_t k = 0; k < sides.size(); ++k) {
      const size_t i = (k + static_cast<size_t>(round)) % sides.size();
      long peak = -1;
      const auto start = std::chrono::steady_clock::now();
      const bool ok = sides[i].run(&peak);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      results[i].ok = results[i].ok && ok;
      times[i].push_back(took.count());
      if (peak >= 0) peaks[i].push_back(static_cast<double>(peak));
    }
  }
  for (size_t i = 0; i < sides.size(); ++i) {
    results[i].median_seconds = Median(times[i]);
    if (!peaks[i].empty()) results[i].median_peak_kib = static_cast<long>(Median(peaks[i]));
  }
  return results;
}

// Reports side `index` of a measured comparison: its median as the
// iteration time (the benchmark must use manual time and one iteration),
// bytes per second, peak memory, and its speed relative to every other
// side ("vs_<name>" > 1 means this side is faster).
inline void ReportSide(benchmark::State& state, const std::vector<Side>& sides,
                       const std::vector<SideResult>& results, size_t index, int64_t bytes) {
  const SideResult& me = results[index];
  for (auto _ : state) state.SetIterationTime(me.median_seconds);
  if (!me.ok) state.SkipWithError("a run failed");
  state.SetBytesProcessed(bytes);
  if (me.median_peak_kib >= 0)
    state.counters["peak_MiB"] = static_cast<double>(me.median_peak_kib) / 1024.0;
  for (size_t j = 0; j < sides.size(); ++j) {
    if (j == index || me.median_seconds <= 0) continue;
    state.counters["vs_" + sides[j].name] = results[j].median_seconds / me.median_seconds;
  }
}

enum class HugePages {
  kOff,  // transparent huge pages disabled for the process (and what it starts)
  kOn,   // large allocations advised for huge pages: the project advises its own buffers,
         // a reference program gets glibc's malloc advice (glibc.malloc.hugetlb=1)
};

// Starts argv as a child process with the huge-page policy, standard output
// to stdout_path, and waits; returns whether it exited 0, with its peak
// resident size in *peak_kib.
inline bool RunProcess(const std::vector<std::string>& argv, HugePages policy,
                       bool reference, const std::string& stdout_path, long* peak_kib) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (policy == HugePages::kOff) prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
    if (policy == HugePages::kOn && reference) setenv("GLIBC_TUNABLES", "glibc.malloc.hugetlb=1", 1);
    const int out = open(stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0) _exit(126);
    dup2(out, 1);
    close(out);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(pid, &status, 0, &usage) != pid) return false;
  if (peak_kib != nullptr) *peak_kib = usage.ru_maxrss;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The same for a child that prints its own peak resident size (KiB) as the
// first number on standard output: *peak_kib is that figure.  (The
// system's figure for a child counts the memory this process had when it
// forked, up to the exec.)  The output goes to scratch_path.
inline bool RunSelfReportingProcess(const std::vector<std::string>& argv, HugePages policy,
                                    const std::string& scratch_path, long* peak_kib) {
  const bool ok = RunProcess(argv, policy, false, scratch_path, nullptr);
  if (peak_kib != nullptr) {
    *peak_kib = -1;
    if (FILE* out = std::fopen(scratch_path.c_str(), "r")) {
      if (std::fscanf(out, "%ld", peak_kib) != 1) *peak_kib = -1;
      std::fclose(out);
    }
  }
  std::remove(scratch_path.c_str());
  return ok;
}

// Takes "<prefix>VALUE" out of the command line (before the benchmark
// library sees it); returns VALUE, or "" when it is not given.
inline std::string TakeStringArgument(int* argc, char** argv, const std::string& prefix) {
  std::string value;
  int kept = 0;
  for (int i = 0; i < *argc; ++i) {
    if (std::string(argv[i]).rfind(prefix, 0) == 0)
      value = argv[i] + prefix.size();
    else
      argv[kept++] = argv[i];
  }
  *argc = kept;
  return value;
}

// Takes "--rounds=N" out of the command line (before the benchmark library
// sees it); returns N, or fallback when it is not given.
inline int TakeRoundsArgument(int* argc, char** argv, int fallback) {
  int rounds = fallback;
  int kept = 0;
  for (int i = 0; i < *argc; ++i) {
    if (std::string(argv[i]).rfind("--rounds=", 0) == 0)
      rounds = std::atoi(argv[i] + 9);
    else
      argv[kept++] = argv[i];
  }
  *argc = kept;
  return rounds;
}

}  // namespace vxbench

#endif  // VOXPATCH_BENCH_INTERLEAVED_H
