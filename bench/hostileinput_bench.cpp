// How long the limited entries take to refuse hostile input: every
// container and patch case of the hostile-input tests, Mach-O files whose
// code sections overlap, and ELF files whose sections share their bytes.  Run by hand:
//   hostileinput_bench [--benchmark_filter=...]
// Each case must stay well under a second.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "compressedfile.h"
#include "disassembledprogram.h"
#include "ensembleapplier.h"
#include "executableparser.h"
#include "hostileinputs.h"
#include "log.h"

using namespace voxpatch;
using namespace voxpatch_test;

namespace {

std::string Scratch(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/hostile_bench_" +
         std::to_string(getpid()) + "_" + name;
}

std::string WriteScratch(const std::string& name, const std::string& data) {
  const std::string path = Scratch(name);
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
  return path;
}

std::string ReadFixture(const std::string& name) {
  std::ifstream in(std::string(VX_FIXTURE_DIR) + "/" + name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void RegisterContainers() {
  int i = 0;
  for (const HostileContainer& c : HostileContainers()) {
    const std::string input = WriteScratch("container" + std::to_string(i++), c.container);
    benchmark::RegisterBenchmark(("Container/" + c.label).c_str(),
                                 [input, c](benchmark::State& state) {
                                   const std::string output = Scratch("out");
                                   for (auto _ : state) {
                                     if (DecompressLzmaFile(input.c_str(), output.c_str(), c.limit,
                                                            c.allow_executable_aware))
                                       state.SkipWithError("unpacked");
                                   }
                                 })
        ->Unit(benchmark::kMillisecond);
  }
}

void RegisterPatches() {
  const std::string old_file = ReadFixture("macho64_exe_v1");
  const std::string old_path = WriteScratch("old", old_file);
  int i = 0;
  for (const HostilePatch& p : HostilePatches(old_file, ReadFixture("macho64_exe_v2"))) {
    const std::string patch = WriteScratch("patch" + std::to_string(i++), p.patch);
    benchmark::RegisterBenchmark(("Patch/" + p.label).c_str(),
                                 [old_path, patch, p](benchmark::State& state) {
                                   const std::string output = Scratch("new");
                                   for (auto _ : state) {
                                     if (ApplyPatchFiles(old_path.c_str(), patch.c_str(),
                                                         output.c_str(),
                                                         kHostilePatchLimit) != p.expected_status)
                                       state.SkipWithError("unexpected status");
                                   }
                                 })
        ->Unit(benchmark::kMillisecond);
  }
}

void RegisterMachO() {
  struct Case {
    const char* label;
    uint32_t sections, step, size;
  };
  for (const Case& c : {Case{"12000 overlapping 1 MiB code sections", 12000, 0, 1u << 20},
                        Case{"1000 nested 1 MiB code sections", 1000, 5, 1u << 20}}) {
    const std::string image = OverlappingSectionsImage(c.sections, c.step, c.size);
    benchmark::RegisterBenchmark((std::string("MachO/") + c.label).c_str(),
                                 [image](benchmark::State& state) {
                                   for (auto _ : state) {
                                     DisassembledProgram* program = nullptr;
                                     if (DisassembleExecutable(image.data(), image.size(),
                                                               &program) != C_OK)
                                       state.SkipWithError("not disassembled");
                                     FreeDisassembledProgram(program);
                                   }
                                   state.SetBytesProcessed(
                                       state.iterations() * static_cast<int64_t>(image.size()));
                                 })
        ->Unit(benchmark::kMillisecond);
  }
}

void RegisterElf() {
  struct Case {
    const char* label;
    uint32_t sections, segments;
    int status;
  };
  for (const Case& c :
       {Case{"20000 PROGBITS and REL sections over 1 MiB each", 20000, 1, C_DISASSEMBLY_FAILED},
        Case{"20000 program headers over 1 MiB of code", 1, 20000, C_OK}}) {
    const std::string image = OverlappingElfSectionsImage(c.sections, c.segments, 1u << 20);
    benchmark::RegisterBenchmark((std::string("Elf/") + c.label).c_str(),
                                 [image, c](benchmark::State& state) {
                                   for (auto _ : state) {
                                     DisassembledProgram* program = nullptr;
                                     if (DisassembleExecutable(image.data(), image.size(),
                                                               &program) != c.status)
                                       state.SkipWithError("unexpected status");
                                     FreeDisassembledProgram(program);
                                   }
                                   state.SetBytesProcessed(
                                       state.iterations() * static_cast<int64_t>(image.size()));
                                 })
        ->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RegisterContainers();
  RegisterPatches();
  RegisterMachO();
  RegisterElf();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  // The scratch files share this process's prefix.
  const std::string command = "rm -f '" + Scratch("") + "'*";
  return std::system(command.c_str()) == 0 ? 0 : 1;
}
