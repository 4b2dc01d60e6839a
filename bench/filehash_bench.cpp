// SHA-512 of a 256 MiB file as the updater computes it (FileHash, OpenSSL's
// EVP interface), side by side with sha512sum, openssl dgst -sha512 and the
// Qt hash the updater used before.  Run by hand:
//   filehash_bench [--benchmark_filter=...] [--rounds=N]
// The file is in the page cache for every side; the reference programs run
// as child processes writing to /dev/null.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <QCryptographicHash>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "filehash.h"
#include "interleaved.h"

namespace {

constexpr int64_t kFileSize = 256ll << 20;
int g_rounds = 7;

std::string ScratchFile() {
  const char* tmp = std::getenv("TMPDIR");
  static const std::string path = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                                  "/filehash_bench." + std::to_string(getpid());
  return path;
}

void MakeFile() {
  std::FILE* f = std::fopen(ScratchFile().c_str(), "wb");
  if (f == nullptr) std::abort();
  std::mt19937_64 rng(99);
  std::vector<uint64_t> block(1 << 17);
  for (int64_t written = 0; written < kFileSize; written += 1 << 20) {
    for (auto& v : block) v = rng();
    std::fwrite(block.data(), 1, 1 << 20, f);
  }
  std::fclose(f);
}

// The updater's hash before: Qt's SHA-512 over 1 MiB reads.
bool QtHash() {
  QFile file(QString::fromStdString(ScratchFile()));
  if (!file.open(QIODevice::ReadOnly)) return false;
  QCryptographicHash hash(QCryptographicHash::Sha512);
  for (;;) {
    const QByteArray chunk = file.read(1 << 20);
    if (chunk.isEmpty()) break;
    hash.addData(chunk);
  }
  return hash.result().size() == 64;
}

const std::vector<vxbench::Side>& Sides() {
  static const std::vector<vxbench::Side> sides = {
      {"FileHash", [](long*) {
         return FileHash::sha512Hex(QString::fromStdString(ScratchFile())).size() == 128;
       }},
      {"sha512sum", [](long* peak) {
         return vxbench::RunProcess({"sha512sum", ScratchFile()}, vxbench::HugePages::kOff, true,
                                    "/dev/null", peak);
       }},
      {"openssl", [](long* peak) {
         return vxbench::RunProcess({"openssl", "dgst", "-sha512", ScratchFile()},
                                    vxbench::HugePages::kOff, true, "/dev/null", peak);
       }},
      {"QCryptographicHash", [](long*) { return QtHash(); }},
  };
  return sides;
}

const std::vector<vxbench::SideResult>& Results() {
  static const std::vector<vxbench::SideResult> results = [] {
    MakeFile();
    // Once through every side, so that the file is cached for all.
    vxbench::MeasureInterleaved(Sides(), 1);
    return vxbench::MeasureInterleaved(Sides(), g_rounds);
  }();
  return results;
}

void BM_Sha512File(benchmark::State& state) {
  vxbench::ReportSide(state, Sides(), Results(), static_cast<size_t>(state.range(0)), kFileSize);
  state.SetLabel(Sides()[static_cast<size_t>(state.range(0))].name);
}
BENCHMARK(BM_Sha512File)->DenseRange(0, 3)->UseManualTime()->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  g_rounds = vxbench::TakeRoundsArgument(&argc, argv, g_rounds);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::remove(ScratchFile().c_str());
  return 0;
}
