// Applying element patches between two builds of one real program against
// the engine's own unpacking of the same new file from a plain container.
// Run by hand, after making the pairs:
//   bench/make_executable_pairs.sh /tmp/vxpairs
//   executablepairs_bench /tmp/vxpairs [--rounds=N] [--before=PATH] [--benchmark_filter=...]
// For every pair listed in <dir>/pairs.txt the patch (one element, the
// whole file) and the container are made once; then each side runs in a
// process of its own, in turn, round after round.  Printed per pair: both
// medians, the time ratio, both peaks, the apply's peak as a multiple of
// the larger file and against the budget of 2.5 times it plus 16 MiB.  With
// --before=PATH (this program built from an earlier version) that version's
// apply runs as a third side, and the change in time and peak is printed.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "../tests/deps/voxpatch/ensemblepatchbuilder.h"
#include "../tests/deps/voxpatch/procstatus.h"
#include "compressedfile.h"
#include "ensembleapplier.h"
#include "interleaved.h"
#include "mappedfile.h"

using namespace voxpatch;

namespace {

std::string g_self;
std::string g_dir;
// --before=PATH: this program as built from an earlier version, whose apply
// runs as a third side.
std::string g_before;
int g_rounds = 5;

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string Scratch(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/executablepairs_bench_" +
         std::to_string(getpid()) + "_" + name;
}

struct Pair {
  std::string name;
  uint32_t kind = 0;
  std::string old_path, new_path;
  std::string patch_path, container_path, out_path;
  size_t old_size = 0, new_size = 0;
  bool ready = false;
};

bool Prepare(Pair* p) {
  const std::string old_file = ReadWhole(p->old_path);
  const std::string new_file = ReadWhole(p->new_path);
  if (old_file.empty() || new_file.empty()) return false;
  p->old_size = old_file.size();
  p->new_size = new_file.size();
  voxpatch_test::EnsemblePatchParts parts;
  const std::vector<voxpatch_test::ElementSpec> elements = {
      {p->kind, 0, static_cast<uint32_t>(old_file.size()), 0,
       static_cast<uint32_t>(new_file.size())}};
  if (!voxpatch_test::MakeEnsemblePatch(old_file, new_file, elements, &parts)) return false;
  const std::string patch = voxpatch_test::SerializeEnsemblePatch(parts);
  p->patch_path = Scratch(p->name + "_patch");
  p->container_path = Scratch(p->name + "_container");
  p->out_path = Scratch(p->name + "_out");
  if (WriteBufferToFile(p->patch_path.c_str(), patch.data(), patch.size()) != patch.size())
    return false;
  if (!CompressLzmaFile(p->new_path.c_str(), p->container_path.c_str(), false)) return false;
  // The patch must rebuild the new file byte for byte.
  if (ApplyPatchFiles(p->old_path.c_str(), p->patch_path.c_str(), p->out_path.c_str()) != C_OK ||
      ReadWhole(p->out_path) != new_file)
    return false;
  std::printf("%-12s old %6.2f MB, new %6.2f MB, patch %8zu bytes\n", p->name.c_str(),
              old_file.size() / 1e6, new_file.size() / 1e6, patch.size());
  p->ready = true;
  return true;
}

std::vector<Pair>& Pairs() {
  static std::vector<Pair> pairs = [] {
    std::vector<Pair> list;
    std::ifstream in(g_dir + "/pairs.txt");
    std::string name;
    uint32_t kind = 0;
    while (in >> name >> kind) {
      Pair p;
      p.name = name;
      p.kind = kind;
      p.old_path = g_dir + "/" + name + "_v1";
      p.new_path = g_dir + "/" + name + "_v2";
      if (!Prepare(&p)) std::printf("%-12s could not be prepared\n", name.c_str());
      list.push_back(p);
    }
    return list;
  }();
  return pairs;
}

void BM_ApplyVsUnpack(benchmark::State& state) {
  const Pair& p = Pairs()[static_cast<size_t>(state.range(0))];
  state.SetLabel(p.name + (state.range(1) == 0 ? " ApplyPatchFiles" : " DecompressLzmaFile"));
  if (!p.ready) {
    state.SkipWithError("pair not prepared");
    for (auto _ : state) {
    }
    return;
  }
  const std::string unpack = g_self.substr(0, g_self.find_last_of('/') + 1) + "voxpatch_unpack";
  std::vector<vxbench::Side> sides = {
      {"apply",
       [&](long* peak) {
         return vxbench::RunSelfReportingProcess(
             {g_self, "--apply-child", p.old_path, p.patch_path, p.out_path},
             vxbench::HugePages::kOff, Scratch("apply_report"), peak);
       }},
      {"unpack",
       [&](long* peak) {
         return vxbench::RunSelfReportingProcess(
             {unpack, p.container_path, p.out_path, std::to_string(UINT32_MAX)},
             vxbench::HugePages::kOff, Scratch("unpack_report"), peak);
       }},
  };
  if (!g_before.empty()) {
    sides.push_back({"before", [&](long* peak) {
                       return vxbench::RunSelfReportingProcess(
                           {g_before, "--apply-child", p.old_path, p.patch_path, p.out_path},
                           vxbench::HugePages::kOff, Scratch("before_report"), peak);
                     }});
  }
  // Both sides of a pair are measured together, once.
  static std::map<int64_t, std::vector<vxbench::SideResult>> measured;
  if (measured.count(state.range(0)) == 0)
    measured[state.range(0)] = vxbench::MeasureInterleaved(sides, g_rounds);
  const std::vector<vxbench::SideResult>& results = measured[state.range(0)];
  const size_t side = static_cast<size_t>(state.range(1));
  vxbench::ReportSide(state, sides, results, side, static_cast<int64_t>(p.new_size));
  if (side == 0) {
    const double larger_mib = static_cast<double>(std::max(p.old_size, p.new_size)) / (1 << 20);
    const double peak_mib = results[0].median_peak_kib / 1024.0;
    state.counters["peak_x_file"] = peak_mib / larger_mib;
    state.counters["peak_budget_MiB"] = 2.5 * larger_mib + 16;
    std::printf("%-12s apply %7.1f ms, unpack %7.1f ms: %.2fx; peak %6.1f MiB = %.2fx the file "
                "(budget %.1f MiB), unpack peak %6.1f MiB\n",
                p.name.c_str(), results[0].median_seconds * 1e3, results[1].median_seconds * 1e3,
                results[0].median_seconds / results[1].median_seconds, peak_mib,
                peak_mib / larger_mib, 2.5 * larger_mib + 16, results[1].median_peak_kib / 1024.0);
    if (results.size() > 2) {
      std::printf("%-12s before: apply %7.1f ms (%.2fx the unpack), peak %6.1f MiB = %.2fx the "
                  "file; now %.2fx the time, %.2fx the peak\n",
                  p.name.c_str(), results[2].median_seconds * 1e3,
                  results[2].median_seconds / results[1].median_seconds,
                  results[2].median_peak_kib / 1024.0,
                  results[2].median_peak_kib / 1024.0 / larger_mib,
                  results[0].median_seconds / results[2].median_seconds,
                  static_cast<double>(results[0].median_peak_kib) / results[2].median_peak_kib);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  g_self = argv[0];
  if (argc == 5 && std::strcmp(argv[1], "--apply-child") == 0) {
    const PatchStatus status = ApplyPatchFiles(argv[2], argv[3], argv[4]);
    std::printf("%ld\n", voxpatch_test::ProcStatusKiB("VmHWM:"));
    return status == C_OK ? 0 : 1;
  }
  g_rounds = vxbench::TakeRoundsArgument(&argc, argv, g_rounds);
  g_before = vxbench::TakeStringArgument(&argc, argv, "--before=");
  benchmark::Initialize(&argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s <pairs dir> [--rounds=N] [benchmark options]\n", argv[0]);
    return 2;
  }
  g_dir = argv[1];
  // --write-patches: only make the patches and containers and print their
  // paths (for looking at one apply with other tools); they are kept.
  if (argc == 3 && std::strcmp(argv[2], "--write-patches") == 0) {
    for (const Pair& p : Pairs())
      std::printf("%s %s %s %s\n", p.old_path.c_str(), p.patch_path.c_str(),
                  p.container_path.c_str(), p.new_path.c_str());
    return 0;
  }
  for (size_t i = 0; i < Pairs().size(); ++i) {
    benchmark::RegisterBenchmark("BM_ApplyVsUnpack", BM_ApplyVsUnpack)
        ->Args({static_cast<int64_t>(i), 0})
        ->Args({static_cast<int64_t>(i), 1})
        ->UseManualTime()
        ->Iterations(1)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const Pair& p : Pairs()) {
    std::remove(p.patch_path.c_str());
    std::remove(p.container_path.c_str());
    std::remove(p.out_path.c_str());
  }
  return 0;
}
