// Speed and memory figures of the patch engine's block decoder, container
// unpacking, byte diff and checksum.  Run by hand:
//   voxpatch_codec_bench [--benchmark_filter=...] [--rounds=N]
// The container comparison needs the xz program on the PATH: a process
// unpacking the 64 MiB container with DecompressLzmaFile and an xz process
// decoding the identical LZMA2 bytes run in turn, both writing to
// /dev/null, once with transparent huge pages off for both and once with
// huge pages advised for both (xz through glibc's malloc tunable).

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bytediff.h"
#include "compressedfile.h"
#include "interleaved.h"
#include "crc.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "streams.h"

using namespace voxpatch;

namespace {

constexpr size_t kPayloadSize = 64u << 20;
constexpr size_t kDiffSize = 32u << 20;

std::string g_self;
int g_rounds = 7;

std::string ScratchDir() {
  const char* tmp = std::getenv("TMPDIR");
  return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

// 1 MiB segments of text, random bytes, zeros and counting words in turn.
std::vector<uint8_t> MixedPayload(size_t size) {
  static const char* words[] = {"update ", "client ", "bundle ", "patch\n", "voice ",
                                "channel ", "server ", "version\n"};
  std::mt19937 rng(1234);
  std::vector<uint8_t> data(size);
  for (size_t segment = 0; segment * (1u << 20) < size; ++segment) {
    size_t begin = segment << 20;
    size_t end = begin + (1u << 20) < size ? begin + (1u << 20) : size;
    switch (segment % 4) {
      case 0:
        for (size_t i = begin; i < end;) {
          const char* w = words[rng() % 8];
          for (; *w && i < end; ++w) data[i++] = static_cast<uint8_t>(*w);
        }
        break;
      case 1:
        for (size_t i = begin; i < end; ++i) data[i] = static_cast<uint8_t>(rng());
        break;
      case 2:
        std::memset(&data[begin], 0, end - begin);
        break;
      default:
        for (size_t i = begin; i + 4 <= end; i += 4) {
          uint32_t v = static_cast<uint32_t>(i / 4) * 2654435761u >> 20;
          std::memcpy(&data[i], &v, 4);
        }
        break;
    }
  }
  return data;
}

struct BlockFixture {
  std::vector<uint8_t> payload;
  ByteWriter block;
  std::string block_path;
  std::string raw_path;
  std::string container_path;
  size_t header_length = 0;

  BlockFixture() {
    payload = MixedPayload(kPayloadSize);
    if (!WriteLzma2Block(payload.data(), payload.size(), &block)) std::abort();
    ByteReader r;
    r.Attach(block);
    uint8_t property;
    uint32_t size;
    r.Read(&property, 1);
    r.GetVarint(&size);
    header_length = block.Length() - r.BytesLeft();
    block_path = ScratchDir() + "/voxpatch_bench_block." + std::to_string(getpid());
    raw_path = ScratchDir() + "/voxpatch_bench_raw." + std::to_string(getpid());
    WriteBufferToFile(block_path.c_str(), block.Buffer(), block.Length());
    WriteBufferToFile(raw_path.c_str(), block.Buffer() + header_length,
                      block.Length() - header_length);
    // The same block as a plain container.
    ByteWriter container;
    container.PutVarint(kContainerMagic);
    container.PutVarint(ComputeCrc(payload.data(), payload.size()));
    container.PutVarint(kDirectivePlain);
    container.Write(block.Buffer(), block.Length());
    container_path = ScratchDir() + "/voxpatch_bench_container." + std::to_string(getpid());
    WriteBufferToFile(container_path.c_str(), container.Buffer(), container.Length());
  }
  ~BlockFixture() {
    std::remove(block_path.c_str());
    std::remove(raw_path.c_str());
    std::remove(container_path.c_str());
  }
};

BlockFixture& Block() {
  static BlockFixture fixture;
  return fixture;
}

void BM_ReadLzma2Block(benchmark::State& state) {
  BlockFixture& f = Block();
  for (auto _ : state) {
    ByteReader source;
    source.Attach(f.block);
    ByteWriter out;
    if (!ReadLzma2Block(&source, &out) || out.Length() != f.payload.size())
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.Buffer());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.payload.size()));
  state.counters["compressed_MiB"] = static_cast<double>(f.block.Length()) / (1 << 20);
}
BENCHMARK(BM_ReadLzma2Block)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(3);

// Whole processes, side by side: DecompressLzmaFile in voxpatch_unpack
// (beside this program) against xz on the same LZMA2 bytes, under one
// huge-page policy.
std::vector<vxbench::Side> UnpackSides(vxbench::HugePages policy) {
  const std::string unpack = g_self.substr(0, g_self.find_last_of('/') + 1) + "voxpatch_unpack";
  return {
      {"DecompressLzmaFile",
       [policy, unpack](long* peak) {
         return vxbench::RunProcess({unpack, Block().container_path, "/dev/null",
                                     std::to_string(kPayloadSize)},
                                    policy, false, "/dev/null", peak);
       }},
      {"xz",
       [policy](long* peak) {
         return vxbench::RunProcess({"xz", "--format=raw", "--lzma2=dict=64MiB", "-d", "-T1",
                                     "-c", Block().raw_path},
                                    policy, true, "/dev/null", peak);
       }},
  };
}

void BM_UnpackProcess(benchmark::State& state) {
  const auto policy = state.range(0) == 0 ? vxbench::HugePages::kOff : vxbench::HugePages::kOn;
  static std::vector<vxbench::SideResult> results[2];
  std::vector<vxbench::SideResult>& measured = results[state.range(0)];
  const std::vector<vxbench::Side> sides = UnpackSides(policy);
  if (measured.empty()) measured = vxbench::MeasureInterleaved(sides, g_rounds);
  const size_t side = static_cast<size_t>(state.range(1));
  vxbench::ReportSide(state, sides, measured, side,
                      static_cast<int64_t>(Block().payload.size()));
  state.SetLabel(sides[side].name + (policy == vxbench::HugePages::kOff ? ", huge pages off"
                                                                         : ", huge pages on"));
}
BENCHMARK(BM_UnpackProcess)
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);


// Decodes the block file in a fresh process and reports how much the peak
// resident size grew while decoding.
int DecodeChild(const char* path) {
  MappedFile file(path, 0, MappedFile::kNormal);
  if (!file.IsValid()) return 2;
  // Touch the input first so that it counts in the baseline.
  uint64_t sum = 0;
  for (uint64_t i = 0; i < file.Length(); i += 4096) sum += file[i];
  struct rusage before;
  getrusage(RUSAGE_SELF, &before);
  ByteReader source(file.Data(), static_cast<size_t>(file.Length()));
  ByteWriter out;
  if (!ReadLzma2Block(&source, &out)) return 3;
  struct rusage after;
  getrusage(RUSAGE_SELF, &after);
  std::printf("%ld %zu %llu\n", after.ru_maxrss - before.ru_maxrss, out.Length(),
              static_cast<unsigned long long>(sum & 1));
  return 0;
}

void BM_DecodePeakMemory(benchmark::State& state) {
  BlockFixture& f = Block();
  const std::string command = "'" + g_self + "' --decode-child '" + f.block_path + "'";
  double grown_mib = 0;
  for (auto _ : state) {
    FILE* pipe = popen(command.c_str(), "r");
    long grown_kib = -1;
    size_t length = 0;
    unsigned long long ignored = 0;
    if (pipe == nullptr || std::fscanf(pipe, "%ld %zu %llu", &grown_kib, &length, &ignored) != 3)
      state.SkipWithError("child failed");
    if (pipe != nullptr) pclose(pipe);
    grown_mib = static_cast<double>(grown_kib) / 1024.0;
  }
  const double output_mib = static_cast<double>(f.payload.size()) / (1 << 20);
  state.counters["peak_growth_MiB"] = grown_mib;
  state.counters["budget_MiB"] = 2 * output_mib + 16;
}
BENCHMARK(BM_DecodePeakMemory)->Unit(benchmark::kMillisecond)->Iterations(1);

struct DiffFixture {
  std::vector<uint8_t> old_data;
  std::vector<uint8_t> new_data;
  ByteWriter diff;

  DiffFixture() {
    std::mt19937 rng(77);
    old_data.resize(kDiffSize);
    for (auto& b : old_data) b = static_cast<uint8_t>(rng());
    // A new version with scattered small edits and a few insertions.
    new_data = old_data;
    for (int i = 0; i < 20000; ++i) new_data[rng() % new_data.size()] += 1;
    for (int i = 0; i < 50; ++i) {
      size_t at = rng() % new_data.size();
      new_data.insert(new_data.begin() + static_cast<ptrdiff_t>(at), 64, static_cast<uint8_t>(i));
    }
    ByteReader o(old_data.data(), old_data.size());
    ByteReader n(new_data.data(), new_data.size());
    if (!CreateByteDiff(&o, &n, &diff, false, kByteDiffRaw)) std::abort();
  }
};

DiffFixture& Diff() {
  static DiffFixture fixture;
  return fixture;
}

void BM_ApplyByteDiffRaw(benchmark::State& state) {
  DiffFixture& f = Diff();
  for (auto _ : state) {
    ByteReader old(f.old_data.data(), f.old_data.size());
    ByteReader diff;
    diff.Attach(f.diff);
    ByteWriter out;
    if (!ApplyByteDiff(old, &diff, &out, false) || out.Length() != f.new_data.size())
      state.SkipWithError("apply failed");
    benchmark::DoNotOptimize(out.Buffer());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.new_data.size()));
}
BENCHMARK(BM_ApplyByteDiffRaw)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_ComputeCrc(benchmark::State& state) {
  BlockFixture& f = Block();
  uint32_t crc = 0;
  for (auto _ : state) {
    crc ^= ComputeCrc(f.payload.data(), f.payload.size());
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.payload.size()));
}
BENCHMARK(BM_ComputeCrc)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--decode-child") == 0) return DecodeChild(argv[2]);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  g_self = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string(argv[0]);
  g_rounds = vxbench::TakeRoundsArgument(&argc, argv, g_rounds);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
