// Budgets derived from the most bytes an unpacked or patched file may
// have.  Every buffer grown from untrusted decoded data is capped by one of
// them, so a small hostile input cannot make the engine allocate or decode
// far more than the file it claims to produce.

#ifndef VOXPATCH_OUTPUTBUDGET_H
#define VOXPATCH_OUTPUTBUDGET_H

#include <cstddef>
#include <cstdint>

namespace voxpatch {

class OutputBudget {
 public:
  // No limit: every budget is as large as memory allows.
  OutputBudget() : OutputBudget(UINT64_MAX) {}
  explicit OutputBudget(uint64_t max_output);

  // The output file itself.
  size_t output() const { return output_; }
  // Bytes assembled from encoded programs: the executables found in a file
  // never add up to more than the file (relocation tables and alignment
  // may add a little).
  size_t programs() const { return programs_; }
  // A buffer of decoded body data (encoded programs, diff streams, stream
  // sets): encoded programs spend up to a few bytes per byte of code.
  size_t decoded() const { return decoded_; }

 private:
  size_t output_;
  size_t programs_;
  size_t decoded_;
};

}  // namespace voxpatch

#endif  // VOXPATCH_OUTPUTBUDGET_H
