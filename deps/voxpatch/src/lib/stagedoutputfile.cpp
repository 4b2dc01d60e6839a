#include "stagedoutputfile.h"

#include "folderwalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace voxpatch {

namespace {

// Distinguishes the temporary names of calls running at the same time.
std::atomic<unsigned> g_temp_counter{0};

}  // namespace

StagedOutputFile::~StagedOutputFile() {
  Abort();
  if (folder_fd_ >= 0) ::close(folder_fd_);
}

bool StagedOutputFile::Open(const char* path) {
  Abort();
  if (folder_fd_ >= 0) ::close(folder_fd_);
  temp_name_.clear();
  folder_fd_ = OpenParentWalked(path, &name_);
  if (folder_fd_ < 0) return false;
  struct stat existing;
  const bool exists =
      ::fstatat(folder_fd_, name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
  if (exists && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) {
    fd_ =
        ::openat(folder_fd_, name_.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    direct_ = fd_ >= 0;
    return direct_;
  }
  direct_ = false;
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.part",
                  static_cast<long>(::getpid()), g_temp_counter.fetch_add(1));
    temp_name_ = "." + name_ + suffix;
    // Created as a plain open with mode 0666 would be (the umask applies).
    fd_ = ::openat(folder_fd_, temp_name_.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temp_name_.clear();
    return false;
  }
  if (exists && S_ISREG(existing.st_mode))
    ::fchmod(fd_, existing.st_mode & 07777);
  return true;
}

bool WriteFully(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n != 0) {
    const ssize_t written = ::write(fd, p, n);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += written;
    n -= static_cast<size_t>(written);
  }
  return true;
}

bool StagedOutputFile::Write(const void* data, size_t n) {
  return fd_ >= 0 && WriteFully(fd_, data, n);
}

bool StagedOutputFile::Commit() {
  if (fd_ < 0) return false;
  // A failed close (a full disk found at the last moment) means the file is
  // not complete.
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (direct_) return closed;
  if (!closed || ::renameat(folder_fd_, temp_name_.c_str(), folder_fd_,
                            name_.c_str()) != 0) {
    Abort();
    return false;
  }
  temp_name_.clear();
  return true;
}

void StagedOutputFile::Abort() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_name_.empty()) {
    ::unlinkat(folder_fd_, temp_name_.c_str(), 0);
    temp_name_.clear();
  }
}

bool StagedOutputFile::Stages(const char* path) {
  struct stat existing;
  return ::lstat(path, &existing) != 0 || S_ISREG(existing.st_mode) ||
         S_ISLNK(existing.st_mode);
}

bool StagedOutputFile::WriteWhole(const char* path, const void* data,
                                  size_t length) {
  StagedOutputFile file;
  return file.Open(path) && file.Write(data, length) && file.Commit();
}

}  // namespace voxpatch
