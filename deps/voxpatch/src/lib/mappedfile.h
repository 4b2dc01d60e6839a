// Read-only memory-mapped view of a file, and the one-call file writer.

#ifndef VOXPATCH_MAPPEDFILE_H
#define VOXPATCH_MAPPEDFILE_H

#include <cstddef>
#include <cstdint>

namespace voxpatch {

class MappedFile {
 public:
  enum AccessHint { kNormal = 0, kSequential = 1, kRandom = 2 };

  MappedFile() = default;
  MappedFile(const char* path, uint64_t length, int hint);
  ~MappedFile();

  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  // Opens path read-only and maps up to length bytes from its start
  // (0 = the whole file).  Refused while a view is mapped.
  bool Open(const char* path, uint64_t length, int hint);
  // Replaces the view by up to length bytes from offset (0 = to the end).
  bool MapView(uint64_t offset, uint64_t length);
  void Close();

  bool IsValid() const { return view_ != nullptr; }
  const uint8_t* Data() const { return view_; }
  uint64_t Length() const { return mapped_length_; }
  uint64_t FileSize() const { return file_size_; }

  // Checked access: throws std::invalid_argument without a view and
  // std::out_of_range beyond the view.
  uint8_t At(uint64_t offset) const;
  uint8_t operator[](uint64_t offset) const { return view_[offset]; }

  static size_t PageSize();

  // Hands the view's resident pages back to the system while the bytes
  // are not needed; the view stays valid and the next access reads them
  // from the file again.
  void ReleaseResidentPages() const;

 private:
  void Unmap();

  uint64_t file_size_ = 0;
  int hint_ = kNormal;
  uint64_t mapped_length_ = 0;
  int fd_ = -1;
  const uint8_t* view_ = nullptr;
  // The mapping itself starts at a page boundary at or before the view.
  void* map_base_ = nullptr;
  size_t map_length_ = 0;
};

// Writes length bytes to path (created or truncated); returns the number of
// bytes stored, which is 0 when the file cannot be opened and less than
// length when writing or closing the file failed.
size_t WriteBufferToFile(const char* path, const void* data, size_t length);

}  // namespace voxpatch

#endif  // VOXPATCH_MAPPEDFILE_H
