#include "folderwalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace voxpatch {

namespace {

// As many links as the kernel itself follows in one lookup.
constexpr int kMaxLinks = 40;
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

void Split(const std::string& text, std::deque<std::string>* names,
           bool in_front) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  while (start <= text.size()) {
    std::string::size_type end = text.find('/', start);
    if (end == std::string::npos) end = text.size();
    const std::string part = text.substr(start, end - start);
    if (!part.empty() && part != ".") parts.push_back(part);
    start = end + 1;
  }
  if (in_front)
    names->insert(names->begin(), parts.begin(), parts.end());
  else
    names->insert(names->end(), parts.begin(), parts.end());
}

int Reopen(int fd, const char* where) {
  const int opened = ::open(where, kFolderFlags);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return opened;
}

// Replaces fd by the folder that the link name inside it leads to, or
// closes it and returns -1.
int FollowLink(int fd, const std::string& name, std::deque<std::string>* rest) {
  struct stat link;
  struct stat folder;
  if (::fstatat(fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 ||
      ::fstat(fd, &folder) != 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  if (!S_ISLNK(link.st_mode) || !MayFollowLink(link.st_uid, folder.st_uid)) {
    ::close(fd);
    errno = S_ISLNK(link.st_mode) ? ELOOP : ENOTDIR;
    return -1;
  }
  std::vector<char> text(
      static_cast<size_t>(link.st_size > 0 ? link.st_size : 255) + 2);
  const ssize_t length =
      ::readlinkat(fd, name.c_str(), text.data(), text.size());
  struct stat again;
  // The link read must be the one whose owner was looked at.
  if (length <= 0 || static_cast<size_t>(length) >= text.size() ||
      ::fstatat(fd, name.c_str(), &again, AT_SYMLINK_NOFOLLOW) != 0 ||
      again.st_ino != link.st_ino || again.st_dev != link.st_dev ||
      again.st_uid != link.st_uid) {
    ::close(fd);
    errno = ELOOP;
    return -1;
  }
  const std::string target(text.data(), static_cast<size_t>(length));
  Split(target, rest, true);
  return target[0] == '/' ? Reopen(fd, "/") : fd;
}

// Settled and pinned folders: their names from "/" and a descriptor open on
// each.  An entry stays while it is settled or pinned at least once.
struct Settled {
  std::vector<std::string> names;
  int fd = -1;
  bool settled = false;
  int pins = 0;
};

std::mutex& SettledMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, Settled>& SettledFolders() {
  static std::map<std::string, Settled> folders;
  return folders;
}

std::string Key(const std::deque<std::string>& names) {
  std::string key;
  for (const std::string& name : names) key += "/" + name;
  return key;
}

// The folder to start the walk of names (from "/") at: a copy of the
// descriptor of the deepest settled folder above them, whose names are
// taken off the front; -1 (names untouched) when none lies above them.  With
// above_only, a folder at names itself does not count.
int StartAtSettled(std::deque<std::string>* names, bool above_only) {
  const std::lock_guard<std::mutex> lock(SettledMutex());
  const Settled* best = nullptr;
  for (const auto& entry : SettledFolders()) {
    const Settled& settled = entry.second;
    if (settled.names.size() > names->size() ||
        (above_only && settled.names.size() == names->size()) ||
        (best != nullptr && settled.names.size() <= best->names.size()))
      continue;
    bool below = true;
    for (size_t i = 0; i < settled.names.size() && below; ++i)
      below = (*names)[i] == settled.names[i];
    if (below) best = &settled;
  }
  if (best == nullptr) return -1;
  const int fd = ::fcntl(best->fd, F_DUPFD_CLOEXEC, 0);
  if (fd >= 0) names->erase(names->begin(), names->begin() + best->names.size());
  return fd;
}

int Walk(const char* path, size_t keep_last, bool above_only = false) {
  if (path == nullptr || *path == '\0') {
    errno = ENOENT;
    return -1;
  }
  std::deque<std::string> names;
  Split(path, &names, false);
  if (names.size() < keep_last) {
    errno = EINVAL;
    return -1;
  }
  names.resize(names.size() - keep_last);
  int fd = path[0] == '/' ? StartAtSettled(&names, above_only) : -1;
  if (fd < 0) fd = ::open(path[0] == '/' ? "/" : ".", kFolderFlags);
  int links = 0;
  while (fd >= 0 && !names.empty()) {
    const std::string name = names.front();
    names.pop_front();
    const int next = ::openat(fd, name.c_str(), kFolderFlags);
    if (next >= 0) {
      ::close(fd);
      fd = next;
      continue;
    }
    if (name == ".." || (errno != ENOTDIR && errno != ELOOP)) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      return -1;
    }
    if (++links > kMaxLinks) {
      ::close(fd);
      errno = ELOOP;
      return -1;
    }
    fd = FollowLink(fd, name, &names);
  }
  return fd;
}

// The names of the clean absolute folder path; false (errno EINVAL) for
// another path.
bool CleanFolderNames(const char* path, std::deque<std::string>* names) {
  Split(path == nullptr ? std::string() : std::string(path), names, false);
  for (const std::string& name : *names) {
    if (name == "..") {
      errno = EINVAL;
      return false;
    }
  }
  if (path == nullptr || path[0] != '/') {
    errno = EINVAL;
    return false;
  }
  return true;
}

// Drops the entry when it is neither settled nor pinned any more.  Called
// with the lock held.
void DropIfUnused(std::map<std::string, Settled>::iterator entry) {
  if (entry->second.settled || entry->second.pins > 0) return;
  ::close(entry->second.fd);
  SettledFolders().erase(entry);
}

}  // namespace

bool MayFollowLink(unsigned link_owner, unsigned folder_owner) {
  const unsigned self = ::geteuid();
  return (link_owner == self || link_owner == 0) &&
         (folder_owner == self || folder_owner == 0);
}

int OpenFolderWalked(const char* path, bool readable) {
  const int fd = Walk(path, 0);
  if (fd < 0 || !readable) return fd;
  const int listed = ::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return listed;
}

bool SettleFolder(const char* path) {
  std::deque<std::string> names;
  if (!CleanFolderNames(path, &names)) return false;
  // Opened anew, from the folders above it.
  const int fd = Walk(path, 0, true);
  const std::string key = Key(names);
  const std::lock_guard<std::mutex> lock(SettledMutex());
  const auto found = SettledFolders().find(key);
  if (fd < 0) {
    const int saved = errno;
    if (found != SettledFolders().end()) {
      found->second.settled = false;
      DropIfUnused(found);
    }
    errno = saved;
    return false;
  }
  Settled& settled = SettledFolders()[key];
  if (settled.fd >= 0) ::close(settled.fd);
  settled.names.assign(names.begin(), names.end());
  settled.fd = fd;
  settled.settled = true;
  return true;
}

void UnsettleFolder(const char* path) {
  std::deque<std::string> names;
  Split(path == nullptr ? std::string() : std::string(path), &names, false);
  const std::lock_guard<std::mutex> lock(SettledMutex());
  const auto found = SettledFolders().find(Key(names));
  if (found == SettledFolders().end()) return;
  found->second.settled = false;
  DropIfUnused(found);
}

FolderPin::~FolderPin() { Release(); }

bool FolderPin::Pin(const std::string& folder) {
  std::deque<std::string> names;
  if (!CleanFolderNames(folder.c_str(), &names)) {
    Release();
    return false;
  }
  const std::string key = Key(names);
  if (!key_.empty() && key == key_) return true;
  Release();
  {
    const std::lock_guard<std::mutex> lock(SettledMutex());
    const auto found = SettledFolders().find(key);
    if (found != SettledFolders().end()) {
      ++found->second.pins;
      key_ = key;
      return true;
    }
  }
  const int fd = Walk(folder.c_str(), 0);
  if (fd < 0) return false;
  const std::lock_guard<std::mutex> lock(SettledMutex());
  Settled& entry = SettledFolders()[key];
  if (entry.fd < 0) {
    entry.names.assign(names.begin(), names.end());
    entry.fd = fd;
  } else {
    ::close(fd);  // pinned meanwhile by another thread: its descriptor is kept
  }
  ++entry.pins;
  key_ = key;
  return true;
}

bool FolderPin::PinParentOf(const std::string& path) {
  std::deque<std::string> names;
  Split(path, &names, false);
  if (path.empty() || path[0] != '/' || names.empty() || names.back() == "..") {
    Release();
    errno = EINVAL;
    return false;
  }
  names.pop_back();
  return Pin(names.empty() ? std::string("/") : Key(names));
}

void FolderPin::Release() {
  if (key_.empty()) return;
  const std::lock_guard<std::mutex> lock(SettledMutex());
  const auto found = SettledFolders().find(key_);
  key_.clear();
  if (found == SettledFolders().end()) return;
  --found->second.pins;
  DropIfUnused(found);
}

int OpenParentWalked(const char* path, std::string* name) {
  std::deque<std::string> names;
  Split(path == nullptr ? std::string() : std::string(path), &names, false);
  if (names.empty() || names.back() == "..") {
    errno = EINVAL;
    return -1;
  }
  *name = names.back();
  return Walk(path, 1);
}

}  // namespace voxpatch
