#include "spilledbody.h"

#include "folderwalk.h"
#include "stagedoutputfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace voxpatch {

namespace {

// Distinguishes the names of files made at the same time.
std::atomic<unsigned> g_spill_counter{0};

}  // namespace

SpilledBody::~SpilledBody() {
  if (view_ != nullptr)
    ::munmap(const_cast<uint8_t*>(view_), static_cast<size_t>(written_));
  if (fd_ >= 0) ::close(fd_);
}

bool SpilledBody::Create(const std::string& folder) {
  if (fd_ >= 0) return false;
  // The folder is reached by descriptor (folderwalk.h) and the file is made
  // there without a name where the file system allows it, else under a fresh
  // name that is removed at once; never through a link.
  const int dir = OpenFolderWalked(folder.empty() ? "." : folder.c_str());
  if (dir < 0) return false;
  fd_ = ::openat(dir, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  for (int attempt = 0; fd_ < 0 && attempt < 100; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, ".voxpatch.%ld.%d.%u",
                  static_cast<long>(::getpid()), attempt,
                  g_spill_counter.fetch_add(1));
    fd_ = ::openat(dir, name,
                   O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ >= 0)
      ::unlinkat(dir, name, 0);
    else if (errno != EEXIST)
      break;
  }
  ::close(dir);
  return fd_ >= 0;
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
  void* view = ::mmap(nullptr, static_cast<size_t>(written_), PROT_READ,
                      MAP_SHARED, fd_, 0);
  if (view == MAP_FAILED) {
    failed_ = true;
    return false;
  }
  view_ = static_cast<const uint8_t*>(view);
  return true;
}

}  // namespace voxpatch
