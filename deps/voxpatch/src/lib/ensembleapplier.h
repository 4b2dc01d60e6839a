// Application of ensemble patches: the old file is treated as a whole plus
// executable elements inside it; the elements are corrected in their
// encoded form, assembled again, and a final diff turns the old file
// followed by the new elements into the new file.

#ifndef VOXPATCH_ENSEMBLEAPPLIER_H
#define VOXPATCH_ENSEMBLEAPPLIER_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "outputbudget.h"
#include "patchbodyreader.h"
#include "patchstatus.h"
#include "transformationpatcher.h"

namespace voxpatch {

class ByteDiffDrain;
class ByteReader;
class ByteWriter;
class MappedFile;

typedef char oschar;

constexpr uint32_t kEnsembleMagic = 7696195;      // "Cou"
constexpr uint32_t kEnsembleVersion = 20110216;

struct EnsemblePatchHeader {
  uint32_t magic = 0;
  uint32_t version = 0;
  uint32_t source_checksum = 0;
  uint32_t target_checksum = 0;
  uint32_t final_size_prediction = 0;
};

// Reads the five header fields: 1, or 5, 6 or 7.
PatchStatus ReadEnsemblePatchHeader(ByteReader* patch, EnsemblePatchHeader* header);

// One application of a patch to the bytes of an old file.
class EnsembleApplier {
 public:
  EnsembleApplier(const uint8_t* base, size_t base_length);
  ~EnsembleApplier();
  EnsembleApplier(const EnsembleApplier&) = delete;
  EnsembleApplier& operator=(const EnsembleApplier&) = delete;

  // Applies the whole patch (header included) and appends the new file's
  // bytes to output.
  PatchStatus Apply(ByteReader* patch, ByteWriter* output);

  // The mapping the base bytes are read from, if they are: its pages are
  // handed back while the old bytes are not in use (between the checksum,
  // the transform and the final correction) and read in again after.
  void SetBaseFile(const MappedFile* file) { base_file_ = file; }

  // Caps every buffer grown from the patch's data by budgets derived from
  // the largest new file expected (the caller caps output itself).
  void SetBudget(const OutputBudget& budget) { budget_ = budget; }

  // Hands the new file's bytes to drain while the final correction makes
  // them, instead of keeping them: output then keeps its length, but its
  // bytes read as zero.  The checksum is taken on the way; drain has seen
  // the whole file when Apply returns 1, and must drop what it took when
  // Apply returns anything else.
  void SetOutputDrain(ByteDiffDrain* drain) { drain_ = drain; }

  // A folder ("" for the working folder, else ending in '/') where a
  // temporary file may hold a large patch body while elements are patched,
  // so that it is not held in memory; it outlives Apply.
  void SetSpillFolder(const std::string* folder) { spill_folder_ = folder; }

  // The patch body as Apply read it (its decoder starts and decoded bytes).
  const PatchBodyReader& body() const { return body_; }

 private:
  void ReleaseBase();

  const uint8_t* base_;
  size_t base_length_;
  const MappedFile* base_file_ = nullptr;
  OutputBudget budget_;
  ByteDiffDrain* drain_ = nullptr;
  const std::string* spill_folder_ = nullptr;
  EnsemblePatchHeader header_;
  PatchBodyReader body_;
  std::vector<std::unique_ptr<TransformationPatcher>> patchers_;
};

// Applies the ensemble patch at patch_path to the file at old_path and
// writes the result to new_path (UTF-8 paths).  Only 1 means success; the
// new path is left alone unless the result matched its checksum.
PatchStatus ApplyPatchFiles(const oschar* old_path, const oschar* patch_path,
                            const oschar* new_path);

// The same for untrusted patches: fails with the step's usual status, and
// without touching new_path, as soon as the new file or any buffer grown
// from the patch's data would pass a budget derived from max_output_size.
PatchStatus ApplyPatchFiles(const oschar* old_path, const oschar* patch_path,
                            const oschar* new_path, uint64_t max_output_size);

}  // namespace voxpatch

#endif  // VOXPATCH_ENSEMBLEAPPLIER_H
