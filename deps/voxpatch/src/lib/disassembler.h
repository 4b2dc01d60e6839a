// Base of the executable disassemblers: a byte range, the header check that
// decides whether the range is an executable of the subclass's kind, and the
// pass that turns it into a DisassembledProgram.

#ifndef VOXPATCH_DISASSEMBLER_H
#define VOXPATCH_DISASSEMBLER_H

#include <cstddef>
#include <cstdint>

#include "executablekind.h"

namespace voxpatch {

class DisassembledProgram;

class Disassembler {
 public:
  Disassembler(const void* start, size_t length);
  virtual ~Disassembler();
  Disassembler(const Disassembler&) = delete;
  Disassembler& operator=(const Disassembler&) = delete;

  virtual ExecutableKind GetKind() const { return EXE_UNKNOWN; }
  // Checks the header; sets the failure reason and may shrink the length.
  virtual bool CheckHeader() = 0;
  // Fills program with the disassembled executable.
  virtual bool BuildProgram(DisassembledProgram* program) = 0;

  // Null after a successful check, else the text of the failed check.
  const char* failure_reason() const { return failure_reason_; }
  // Bytes that belong to the executable (the whole range or less).
  uint64_t length() const { return length_; }
  const uint8_t* start() const { return start_; }
  const uint8_t* end() const { return end_; }

  // The range reads the same after its pages were handed back (a read-only
  // file mapping): the walks then hand back the input behind them, since
  // the program keeps only pointers into it.
  void SetRereadable(bool rereadable) { rereadable_ = rereadable; }

  // The most bytes the caller means to let a program cover (assembled, it
  // takes as many).  A walk that may go back over the input keeps within
  // it past what every file may take.
  void SetProgramLimit(uint64_t limit) { program_limit_ = limit; }
  uint64_t program_limit() const { return program_limit_; }

 protected:
  // A walk over the input has come to p: where the input is rereadable, its
  // whole pages before p go back to the system, a step at a time.  A walk
  // that starts again from the front calls RestartInputWalk first.
  void PassedInput(const uint8_t* p) {
    if (rereadable_ && p > released_ && static_cast<size_t>(p - released_) >= kReleaseStep)
      ReleaseInputBefore(p);
  }
  void RestartInputWalk() { released_ = start_; }

  const uint8_t* PointerAtOffset(uint64_t offset) const { return start_ + offset; }
  bool MarkValid() {
    failure_reason_ = nullptr;
    return true;
  }
  bool MarkInvalid(const char* reason) {
    failure_reason_ = reason;
    return false;
  }
  void TrimLength(uint64_t length) {
    if (length < length_) length_ = length;
  }
  bool IsValid() const { return failure_reason_ == nullptr; }

 private:
  static constexpr size_t kReleaseStep = 1024 * 1024;
  void ReleaseInputBefore(const uint8_t* p);

  const char* failure_reason_;
  uint64_t length_;
  const uint8_t* start_;
  const uint8_t* end_;
  bool rereadable_ = false;
  uint64_t program_limit_ = UINT64_MAX;
  const uint8_t* released_ = start_;  // the input before this went back
};

}  // namespace voxpatch

#endif  // VOXPATCH_DISASSEMBLER_H
