// Decoded bytes kept in a temporary file instead of in memory, and read
// back through a read-only mapping: the system can page them in and out as
// they are read, and pages read for the last time can be handed back.  The
// file is removed from its folder as soon as it is made, so nothing is left
// behind whatever becomes of the process.

#ifndef VOXPATCH_SPILLEDBODY_H
#define VOXPATCH_SPILLEDBODY_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace voxpatch {

class SpilledBody {
 public:
  SpilledBody() = default;
  ~SpilledBody();
  SpilledBody(const SpilledBody&) = delete;
  SpilledBody& operator=(const SpilledBody&) = delete;

  // Makes the file in folder ("" for the working folder, else ending in
  // '/'); false when no file can be made there.
  bool Create(const std::string& folder);
  // Appends n bytes; false when they could not all be written.
  bool Write(const void* data, size_t n);
  // Maps everything written so far, which cannot be added to afterwards.
  bool Map();

  // The mapped bytes (none when nothing was written).
  const uint8_t* data() const { return view_; }
  uint64_t length() const { return written_; }
  // A write or the mapping failed (the file's fault, not the data's).
  bool failed() const { return failed_; }

 private:
  int fd_ = -1;
  const uint8_t* view_ = nullptr;
  uint64_t written_ = 0;
  bool mapped_ = false;
  bool failed_ = false;
};

}  // namespace voxpatch

#endif  // VOXPATCH_SPILLEDBODY_H
