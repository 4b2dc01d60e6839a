#include "mappedfile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <limits>
#include <stdexcept>

#include "hugepages.h"

namespace voxpatch {

namespace {

int AdviceForHint(int hint) {
  switch (hint) {
    case MappedFile::kSequential:
      return MADV_SEQUENTIAL;
    case MappedFile::kRandom:
      return MADV_RANDOM;
    default:
      return MADV_NORMAL;
  }
}

}  // namespace

MappedFile::MappedFile(const char* path, uint64_t length, int hint) {
  Open(path, length, hint);
}

MappedFile::~MappedFile() { Close(); }

bool MappedFile::Open(const char* path, uint64_t length, int hint) {
  if (view_ != nullptr) return false;
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  file_size_ = 0;
  mapped_length_ = 0;
  hint_ = hint;
  if (path == nullptr) return false;
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  fd_ = fd;
  struct stat info;
  if (::fstat(fd_, &info) != 0) return false;
  file_size_ = info.st_size < 0 ? 0 : static_cast<uint64_t>(info.st_size);
  MapView(0, length);
  return IsValid();
}

bool MappedFile::MapView(uint64_t offset, uint64_t length) {
  if (fd_ < 0) return false;
  if (length == 0) length = file_size_;
  Unmap();
  if (offset > file_size_) return false;
  uint64_t view_length = file_size_ - offset;
  if (length < view_length) view_length = length;
  if (view_length == 0 || view_length > std::numeric_limits<size_t>::max() ||
      offset > static_cast<uint64_t>(std::numeric_limits<off_t>::max()))
    return false;
  // mmap takes page-aligned offsets only; map from the page holding the
  // offset and start the view inside it.
  const uint64_t delta = offset % PageSize();
  if (view_length > std::numeric_limits<size_t>::max() - delta) return false;
  const size_t map_length = static_cast<size_t>(view_length + delta);
  void* address = ::mmap(nullptr, map_length, PROT_READ, MAP_SHARED, fd_,
                         static_cast<off_t>(offset - delta));
  if (address == MAP_FAILED) return false;
  map_base_ = address;
  map_length_ = map_length;
  view_ = static_cast<const uint8_t*>(address) + delta;
  mapped_length_ = view_length;
  ::madvise(address, map_length, AdviceForHint(hint_));
  return true;
}

void MappedFile::ReleaseResidentPages() const {
  // The mapping is read-only and shared with the file, so dropped pages
  // are read in again, unchanged, on the next access.
  if (map_base_ != nullptr) ReleasePages(map_base_, map_length_);
}

void MappedFile::Unmap() {
  if (map_base_ != nullptr) ::munmap(map_base_, map_length_);
  map_base_ = nullptr;
  map_length_ = 0;
  view_ = nullptr;
  mapped_length_ = 0;
}

void MappedFile::Close() {
  file_size_ = 0;
  Unmap();
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

uint8_t MappedFile::At(uint64_t offset) const {
  if (view_ == nullptr) throw std::invalid_argument("No view mapped");
  if (offset >= mapped_length_)
    throw std::out_of_range("View is not large enough");
  return view_[offset];
}

size_t MappedFile::PageSize() { return SystemPageSize(); }

size_t WriteBufferToFile(const char* path, const void* data, size_t length) {
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return 0;
  size_t written = length == 0 ? 0 : std::fwrite(data, 1, length, file);
  // Buffered bytes reach the disk only at fclose; a failure there (disk
  // full, I/O error) means the file is not complete.
  if (std::fclose(file) != 0) return 0;
  return written;
}

}  // namespace voxpatch
