#include "spilledbody.h"

#include "stagedoutputfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace voxpatch {

SpilledBody::~SpilledBody() {
  if (view_ != nullptr) ::munmap(const_cast<uint8_t*>(view_), static_cast<size_t>(written_));
  if (fd_ >= 0) ::close(fd_);
}

bool SpilledBody::Create(const std::string& folder) {
  if (fd_ >= 0) return false;
  std::string name = folder + ".voxpatch.XXXXXX";
  std::vector<char> path(name.begin(), name.end());
  path.push_back('\0');
  fd_ = ::mkstemp(path.data());
  if (fd_ < 0) return false;
  ::unlink(path.data());
  ::fcntl(fd_, F_SETFD, FD_CLOEXEC);
  return true;
}

bool SpilledBody::Write(const void* data, size_t n) {
  if (fd_ < 0 || mapped_) return false;
  if (!WriteFully(fd_, data, n)) {
    failed_ = true;
    return false;
  }
  written_ += static_cast<uint64_t>(n);
  return true;
}

bool SpilledBody::Map() {
  if (fd_ < 0 || mapped_) return false;
  if (written_ > SIZE_MAX) {
    failed_ = true;
    return false;
  }
  mapped_ = true;
  if (written_ == 0) return true;
  void* view = ::mmap(nullptr, static_cast<size_t>(written_), PROT_READ, MAP_SHARED, fd_, 0);
  if (view == MAP_FAILED) {
    failed_ = true;
    return false;
  }
  view_ = static_cast<const uint8_t*>(view);
  return true;
}

}  // namespace voxpatch
