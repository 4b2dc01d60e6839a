#include "stagedoutputfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace voxpatch {

namespace {

// Distinguishes the temporary names of calls running at the same time.
std::atomic<unsigned> g_temp_counter{0};

}  // namespace

StagedOutputFile::~StagedOutputFile() { Abort(); }

bool StagedOutputFile::Open(const char* path) {
  Abort();
  path_ = path;
  // A symbolic link stays a link: the file it leads to is replaced, as a
  // plain open for writing would have written it.
  struct stat link;
  if (::lstat(path, &link) == 0 && S_ISLNK(link.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path, resolved) != nullptr) path_ = resolved;
  }
  struct stat existing;
  const bool exists = ::stat(path_.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode)) {
    fd_ = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);
    direct_ = fd_ >= 0;
    return direct_;
  }
  direct_ = false;
  const std::string::size_type slash = path_.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string() : path_.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path_ : path_.substr(slash + 1);
  for (int attempt = 0; attempt < 100 && fd_ < 0; ++attempt) {
    char suffix[64];
    std::snprintf(suffix, sizeof suffix, ".%ld.%u.part", static_cast<long>(::getpid()),
                  g_temp_counter.fetch_add(1));
    temp_path_ = folder + "." + name + suffix;
    // Created as a plain open with mode 0666 would be (the umask applies).
    fd_ = ::open(temp_path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    temp_path_.clear();
    return false;
  }
  if (exists) ::fchmod(fd_, existing.st_mode & 07777);
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
  if (!closed || ::rename(temp_path_.c_str(), path_.c_str()) != 0) {
    Abort();
    return false;
  }
  temp_path_.clear();
  return true;
}

void StagedOutputFile::Abort() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    ::unlink(temp_path_.c_str());
    temp_path_.clear();
  }
}

bool StagedOutputFile::Stages(const char* path) {
  struct stat existing;
  return ::stat(path, &existing) != 0 || S_ISREG(existing.st_mode);
}

bool StagedOutputFile::WriteWhole(const char* path, const void* data, size_t length) {
  StagedOutputFile file;
  return file.Open(path) && file.Write(data, length) && file.Commit();
}

}  // namespace voxpatch
