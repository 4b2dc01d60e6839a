// Speed and memory figures of the executable-aware side of the patch
// engine.  Run by hand:
//   ensemblepatch_bench [--benchmark_filter=...] [--rounds=N] [--before=PATH]
// Prints, besides the benchmark table:
//  - ApplyPatchFiles (32 MiB file, patch without elements) and the sum of
//    its unavoidable work (decoding the body, two checksum passes and
//    writing the file), run in turn round after round, each with its speed
//    relative to the other (BM_ApplyVsBaseline, counter vs_<other side>);
//  - the peak resident memory of a separate process applying a patch to a
//    32 MiB file, with and without an executable element;
//  - the patch with the Mach-O element applied in a process of its own
//    against unpacking the same new file from a plain container, in turn
//    (BM_ApplyVsUnpack_MachOElement: times, peaks and their ratios).

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "../tests/deps/voxpatch/machoimagebuilder.h"
#include "../tests/deps/voxpatch/procstatus.h"
#include "bytereader.h"
#include "bytewriter.h"
#include "compressedfile.h"
#include "crc.h"
#include "disassembledprogram.h"
#include "encodedprogram.h"
#include "ensembleapplier.h"
#include "executableparser.h"
#include "interleaved.h"
#include "lzmaioout.h"
#include "mappedfile.h"
#include "patcherx86_32.h"
#include "streambundlereader.h"
#include "streambundlewriter.h"

using namespace voxpatch;

namespace {

constexpr size_t kFileSize = 32u << 20;
constexpr size_t kMachOSize = 10u << 20;

std::string g_self;

std::string Scratch(const std::string& name) {
  const char* tmp = std::getenv("TMPDIR");
  return std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/ensemblepatch_bench_" +
         std::to_string(getpid()) + "_" + name;
}

void Save(const std::string& path, const std::string& data) {
  if (WriteBufferToFile(path.c_str(), data.data(), data.size()) != data.size()) std::abort();
}

std::string ToString(const ByteWriter& w) {
  return std::string(reinterpret_cast<const char*>(w.Buffer()), w.Length());
}

// A 64-bit Mach-O image of `size` bytes: one segment, one code section from
// 0x1000 to the end, filled with plain instruction-like bytes and a call
// with a 32-bit displacement every 8 to 23 bytes.
std::string SyntheticMachO(size_t size, uint32_t seed) {
  voxpatch_test::MachOImageBuilder b(true);
  voxpatch_test::MachOSegment text;
  text.vm_size = size;
  text.file_size = size;
  voxpatch_test::MachOSection code;
  code.address = 0x1000;
  code.offset = 0x1000;
  code.size = size - 0x1000;
  text.sections.push_back(code);
  b.AddSegment(text);
  std::string image = b.Build(size);
  std::mt19937 rng(seed);
  static const uint8_t plain[] = {0x55, 0x89, 0xE5, 0x83, 0xC4, 0x5D, 0xC3, 0x31, 0xC0,
                                  0x8B, 0x45, 0x08, 0x01, 0xD0, 0x90, 0x74, 0x75, 0x39};
  size_t at = 0x1000;
  while (at + 5 <= size) {
    const size_t run = 8 + rng() % 16;
    for (size_t i = 0; i < run && at < size; ++i)
      image[at++] = static_cast<char>(plain[rng() % sizeof(plain)]);
    if (at + 5 > size) break;
    const uint32_t target = 0x1000 + static_cast<uint32_t>(rng() % (size - 0x1000));
    const uint32_t displacement = target - static_cast<uint32_t>(at + 5);
    image[at] = static_cast<char>(0xE8);
    std::memcpy(&image[at + 1], &displacement, 4);
    at += 5;
  }
  return image;
}

// Mixed file content: text, random bytes and zeros in 1 MiB pieces.
std::string MixedFile(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data(size, '\0');
  for (size_t piece = 0; piece * (1u << 20) < size; ++piece) {
    const size_t begin = piece << 20;
    const size_t end = std::min(size, begin + (1u << 20));
    for (size_t i = begin; i < end; ++i) {
      switch (piece % 3) {
        case 0: data[i] = "patch engine text "[i % 18]; break;
        case 1: data[i] = static_cast<char>(rng()); break;
        default: break;
      }
    }
  }
  return data;
}

// A VXDIFF10 body without header (method 0) that rebuilds `target` from an
// old blob whose first target.size() bytes are `base`: one copy of the whole
// length with byte-wise differences.
std::string CopyDiff(const std::string& base, const std::string& target) {
  ByteWriter control;
  control.PutSignedVarint(static_cast<int32_t>(target.size()));
  control.PutSignedVarint(0);
  control.PutSignedVarint(0);
  std::string diff(target.size(), '\0');
  for (size_t i = 0; i < target.size(); ++i) diff[i] = static_cast<char>(target[i] - base[i]);
  ByteWriter out;
  const uint8_t method = 0;
  out.Write(&method, 1);
  out.PutVarint(static_cast<uint32_t>(target.size()));
  out.PutVarint(static_cast<uint32_t>(control.Length()));
  out.PutVarint(static_cast<uint32_t>(diff.size()));
  out.PutVarint(0);
  out.Write(control.Buffer(), control.Length());
  out.Write(diff.data(), diff.size());
  return ToString(out);
}

std::string FlatSet(std::vector<std::string> streams) {
  StreamBundleWriter set;
  set.SetCount(streams.size());
  for (size_t i = 0; i < streams.size(); ++i) set.stream(i)->Write(streams[i].data(), streams[i].size());
  ByteWriter flat;
  set.SerializeTo(&flat);
  return ToString(flat);
}

std::string Varints(std::initializer_list<uint32_t> values) {
  ByteWriter w;
  for (uint32_t v : values) w.PutVarint(v);
  return ToString(w);
}

std::string MakePatch(const std::string& old_file, const std::string& new_file,
                      const std::string& body, uint32_t prediction) {
  ByteWriter patch;
  patch.PutVarint(kEnsembleMagic);
  patch.PutVarint(kEnsembleVersion);
  patch.PutVarint(ComputeCrc(old_file.data(), old_file.size()));
  patch.PutVarint(ComputeCrc(new_file.data(), new_file.size()));
  patch.PutVarint(prediction);
  WriteLzma2Block(reinterpret_cast<const uint8_t*>(body.data()), body.size(), &patch);
  return ToString(patch);
}

// Patch without elements: old -> a few bytes changed.
struct PlainPatch {
  std::string old_file, new_file, patch, body;
  std::string old_path = Scratch("plain_old"), patch_path = Scratch("plain_patch"),
              new_path = Scratch("plain_new");
  PlainPatch() {
    old_file = MixedFile(kFileSize, 1);
    new_file = old_file;
    for (size_t i = 0; i < new_file.size(); i += 65537) new_file[i] ^= 0x5A;
    const std::string empty_prediction = FlatSet(std::vector<std::string>(10));
    body = FlatSet({Varints({0}), CopyDiff(empty_prediction, empty_prediction),
                    CopyDiff(empty_prediction, empty_prediction), CopyDiff(old_file, new_file)});
    patch = MakePatch(old_file, new_file, body, static_cast<uint32_t>(old_file.size()));
    Save(old_path, old_file);
    Save(patch_path, patch);
  }
};

// Patch with one executable element: a 32 MiB Mach-O whose element is
// corrected identically and whose final file is the old one with a few
// bytes changed.
struct ElementPatch {
  std::string old_file, new_file, patch;
  std::string old_path = Scratch("element_old"), patch_path = Scratch("element_patch"),
              new_path = Scratch("element_new"), container_path = Scratch("element_container");
  ElementPatch() {
    old_file = SyntheticMachO(kFileSize, 2);
    new_file = old_file;
    for (size_t i = 0x1000; i < new_file.size(); i += 65537) new_file[i] ^= 0x11;
    const std::string empty_prediction = FlatSet(std::vector<std::string>(10));
    // The prediction set of one element: one empty nested set.
    StreamBundleWriter prediction;
    StreamBundleWriter empty;
    prediction.PutNestedBundle(&empty);
    ByteWriter prediction_flat;
    prediction.SerializeTo(&prediction_flat);
    const std::string predicted = ToString(prediction_flat);

    StreamBundleWriter transformed;
    {
      PatcherX86_32 patcher(reinterpret_cast<const uint8_t*>(old_file.data()), old_file.size());
      const std::string description = Varints({0, static_cast<uint32_t>(old_file.size())});
      ByteReader reader(reinterpret_cast<const uint8_t*>(description.data()), description.size());
      patcher.Setup(&reader);
      StreamBundleReader none;
      StreamBundleWriter element;
      if (patcher.TransformElement(&none, &element) != C_OK) std::abort();
      transformed.PutNestedBundle(&element);
    }
    ByteWriter transformed_flat;
    transformed.SerializeTo(&transformed_flat);
    const std::string t = ToString(transformed_flat);
    // The rebuilt element equals the old file, so the final input starts with
    // the old file twice; the copy diff reads the first one.
    std::string final_base = old_file;
    const std::string body =
        FlatSet({Varints({1, EXE_MACHO_X64, 0, static_cast<uint32_t>(old_file.size())}),
                 CopyDiff(predicted, predicted), CopyDiff(t, t), CopyDiff(final_base, new_file)});
    patch = MakePatch(old_file, new_file, body, static_cast<uint32_t>(2 * old_file.size()));
    Save(old_path, old_file);
    Save(patch_path, patch);
    // The same new file in a plain container, for the unpacking it is
    // compared with.
    Save(new_path, new_file);
    if (!CompressLzmaFile(new_path.c_str(), container_path.c_str(), false)) std::abort();
    std::remove(new_path.c_str());
  }
};

PlainPatch& Plain() {
  static PlainPatch p;
  return p;
}

ElementPatch& Element() {
  static ElementPatch p;
  return p;
}

int g_rounds = 9;
// --before=PATH: this program as built from an earlier version, whose apply
// joins the comparison with the unpacking as a third side.
std::string g_before;

bool ApplyNoElements() {
  PlainPatch& p = Plain();
  return ApplyPatchFiles(p.old_path.c_str(), p.patch_path.c_str(), p.new_path.c_str()) == C_OK;
}

// The work any apply must do: decode the body, checksum old and new, write.
bool DecodeCrcWrite() {
  PlainPatch& p = Plain();
  {
    MappedFile patch(p.patch_path.c_str(), 0, MappedFile::kNormal);
    MappedFile old_file(p.old_path.c_str(), 0, MappedFile::kNormal);
    ByteReader in(patch.Data(), patch.Length());
    uint32_t v = 0;
    for (int i = 0; i < 5; ++i) in.GetVarint(&v);
    ByteWriter body;
    if (!ReadLzma2Block(&in, &body)) return false;
    benchmark::DoNotOptimize(ComputeCrc(old_file.Data(), old_file.Length()));
    benchmark::DoNotOptimize(ComputeCrc(p.new_file.data(), p.new_file.size()));
    return WriteBufferToFile(p.new_path.c_str(), p.new_file.data(), p.new_file.size()) ==
           p.new_file.size();
  }
}

// The apply and its baseline in turn; each reports its speed relative to
// the other.
void BM_ApplyVsBaseline(benchmark::State& state) {
  static const std::vector<vxbench::Side> sides = {
      {"ApplyPatchFiles", [](long*) { return ApplyNoElements(); }},
      {"DecodeCrcWrite", [](long*) { return DecodeCrcWrite(); }},
  };
  static const std::vector<vxbench::SideResult> results =
      vxbench::MeasureInterleaved(sides, g_rounds);
  const size_t side = static_cast<size_t>(state.range(0));
  vxbench::ReportSide(state, sides, results, side, static_cast<int64_t>(kFileSize));
  state.SetLabel(sides[side].name);
}

void BM_ApplyPatchFiles_MachOElement(benchmark::State& state) {
  ElementPatch& p = Element();
  for (auto _ : state) {
    if (ApplyPatchFiles(p.old_path.c_str(), p.patch_path.c_str(), p.new_path.c_str()) != C_OK)
      state.SkipWithError("apply failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kFileSize));
}

// Applying the element patch against unpacking the same new file from a
// plain container, each in a process of its own, in turn: time and peak of
// both, the ratio (vs_<other side>) and the apply's peak against its budget
// of 2.5 times the file plus 16 MiB.
void BM_ApplyVsUnpack_MachOElement(benchmark::State& state) {
  static const std::string unpack =
      g_self.substr(0, g_self.find_last_of('/') + 1) + "voxpatch_unpack";
  static const std::vector<vxbench::Side> sides = [] {
    std::vector<vxbench::Side> list = {
      {"apply",
       [](long* peak) {
         const ElementPatch& p = Element();
         return vxbench::RunSelfReportingProcess(
             {g_self, "--apply-child", p.old_path, p.patch_path, p.new_path},
             vxbench::HugePages::kOff, Scratch("apply_report"), peak);
       }},
      {"unpack",
       [](long* peak) {
         const ElementPatch& p = Element();
         return vxbench::RunSelfReportingProcess(
             {unpack, p.container_path, p.new_path, std::to_string(UINT32_MAX)},
             vxbench::HugePages::kOff, Scratch("unpack_report"), peak);
       }},
    };
    if (!g_before.empty()) {
      list.push_back({"before", [](long* peak) {
                        const ElementPatch& p = Element();
                        return vxbench::RunSelfReportingProcess(
                            {g_before, "--apply-child", p.old_path, p.patch_path, p.new_path},
                            vxbench::HugePages::kOff, Scratch("before_report"), peak);
                      }});
    }
    return list;
  }();
  static const std::vector<vxbench::SideResult> results =
      vxbench::MeasureInterleaved(sides, g_rounds);
  const size_t side = static_cast<size_t>(state.range(0));
  if (side >= sides.size()) {
    state.SkipWithError("no earlier version given (--before=PATH)");
    for (auto _ : state) {
    }
    return;
  }
  vxbench::ReportSide(state, sides, results, side, static_cast<int64_t>(kFileSize));
  static const char* const labels[] = {"ApplyPatchFiles", "DecompressLzmaFile",
                                       "ApplyPatchFiles, earlier version"};
  state.SetLabel(labels[side]);
  if (side == 0) {
    const double file_mib = static_cast<double>(kFileSize) / (1 << 20);
    state.counters["peak_x_file"] = results[0].median_peak_kib / 1024.0 / file_mib;
    std::printf("32 MiB Mach-O element: apply %.1f ms, unpack %.1f ms: %.2fx; apply peak %.1f MiB "
                "(budget %.1f MiB), unpack peak %.1f MiB\n",
                results[0].median_seconds * 1e3, results[1].median_seconds * 1e3,
                results[0].median_seconds / results[1].median_seconds,
                results[0].median_peak_kib / 1024.0, 2.5 * file_mib + 16,
                results[1].median_peak_kib / 1024.0);
    if (results.size() > 2) {
      std::printf("32 MiB Mach-O element, earlier version: apply %.1f ms (%.2fx the unpack), "
                  "peak %.1f MiB; now %.2fx the time, %.2fx the peak\n",
                  results[2].median_seconds * 1e3,
                  results[2].median_seconds / results[1].median_seconds,
                  results[2].median_peak_kib / 1024.0,
                  results[0].median_seconds / results[2].median_seconds,
                  static_cast<double>(results[0].median_peak_kib) / results[2].median_peak_kib);
    }
  }
}

void BM_DisassembleEncode_MachO(benchmark::State& state) {
  static const std::string image = SyntheticMachO(kMachOSize, 3);
  size_t labels = 0;
  for (auto _ : state) {
    DisassembledProgram* program = nullptr;
    if (DisassembleExecutable(image.data(), image.size(), &program) != C_OK) {
      state.SkipWithError("disassembly failed");
      break;
    }
    labels = program->rel32_labels().size();
    TrimLabels(program);
    EncodedProgram* encoded = nullptr;
    EncodeReleasing(program, &encoded);  // as the element patcher does
    FreeDisassembledProgram(program);
    FreeEncodedProgram(encoded);
  }
  state.counters["rel32_labels"] = static_cast<double>(labels);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kMachOSize));
}

void BM_StoreLoadRebuild_MachO(benchmark::State& state) {
  static const std::string image = SyntheticMachO(kMachOSize, 3);
  DisassembledProgram* program = nullptr;
  DisassembleExecutable(image.data(), image.size(), &program);
  EncodedProgram* encoded = nullptr;
  Encode(program, &encoded);
  FreeDisassembledProgram(program);
  for (auto _ : state) {
    StreamBundleWriter set;
    StoreEncodedProgram(encoded, &set);
    ByteWriter flat;
    set.SerializeTo(&flat);
    StreamBundleReader reader;
    reader.Parse(flat.Buffer(), flat.Length());
    EncodedProgram* loaded = nullptr;
    LoadEncodedProgram(&reader, &loaded);
    ByteWriter out;
    if (RebuildExecutable(loaded, &out) != C_OK || out.Length() != image.size())
      state.SkipWithError("rebuild failed");
    FreeEncodedProgram(loaded);
  }
  FreeEncodedProgram(encoded);
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(kMachOSize));
}

BENCHMARK(BM_ApplyVsBaseline)->DenseRange(0, 1)->UseManualTime()->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ApplyPatchFiles_MachOElement)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ApplyVsUnpack_MachOElement)->DenseRange(0, 2)->UseManualTime()->Iterations(1)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DisassembleEncode_MachO)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_StoreLoadRebuild_MachO)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The peak resident size (KiB) of this process.
long OwnPeakKiB() { return voxpatch_test::ProcStatusKiB("VmHWM:"); }

// Runs this program again with the given arguments; it prints its own peak.
long PeakOfChild(const std::string& arguments) {
  const std::string command = "'" + g_self + "' " + arguments;
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return -1;
  long peak = -1;
  if (std::fscanf(child, "%ld", &peak) != 1) peak = -1;
  if (pclose(child) != 0) return -1;
  return peak;
}

long PeakOfChildApply(const std::string& old_path, const std::string& patch_path,
                      const std::string& new_path) {
  return PeakOfChild("--apply-child '" + old_path + "' '" + patch_path + "' '" + new_path + "'");
}

long PeakOfIdleChild() { return PeakOfChild("--idle-child"); }

void ReportPeaks() {
  const double mib = static_cast<double>(kFileSize) / 1024.0;  // file size in KiB
  const long idle = PeakOfIdleChild();
  const long plain = PeakOfChildApply(Plain().old_path, Plain().patch_path, Plain().new_path);
  const long element =
      PeakOfChildApply(Element().old_path, Element().patch_path, Element().new_path);
  std::printf("peak RSS, idle process:               %8.1f MiB\n", idle / 1024.0);
  // The figures below include the idle process's own share.
  std::printf("peak RSS, 32 MiB file, no element:    %8.1f MiB (%.2fx the file)\n", plain / 1024.0,
              plain / mib);
  std::printf("peak RSS, 32 MiB Mach-O element:      %8.1f MiB (%.2fx the file)\n",
              element / 1024.0, element / mib);
}

}  // namespace

int main(int argc, char** argv) {
  g_self = argv[0];
  if (argc == 5 && std::strcmp(argv[1], "--apply-child") == 0) {
    const PatchStatus status = ApplyPatchFiles(argv[2], argv[3], argv[4]);
    std::printf("%ld\n", OwnPeakKiB());
    return status == C_OK ? 0 : 1;
  }
  if (argc == 2 && std::strcmp(argv[1], "--idle-child") == 0) {
    std::printf("%ld\n", OwnPeakKiB());
    return 0;
  }

  // --write-patches: only make the patch files and print their paths (for
  // looking at one apply with other tools).
  if (argc == 2 && std::strcmp(argv[1], "--write-patches") == 0) {
    std::printf("%s %s %s\n%s %s %s\n", Plain().old_path.c_str(), Plain().patch_path.c_str(),
                Plain().new_path.c_str(), Element().old_path.c_str(),
                Element().patch_path.c_str(), Element().new_path.c_str());
    return 0;
  }
  g_rounds = vxbench::TakeRoundsArgument(&argc, argv, g_rounds);
  g_before = vxbench::TakeStringArgument(&argc, argv, "--before=");
  benchmark::Initialize(&argc, argv);
  Plain();
  Element();
  ReportPeaks();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  for (const std::string& path :
       {Plain().old_path, Plain().patch_path, Plain().new_path, Element().old_path,
        Element().patch_path, Element().new_path, Element().container_path})
    std::remove(path.c_str());
  return 0;
}
