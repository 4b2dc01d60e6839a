// An output file that appears at its path only when it is complete: the
// bytes go to a temporary file in the same folder, which replaces the path
// (keeping an existing file's permissions) only on Commit.  A failure at any
// point leaves the path as it was.  A path that exists and is not a regular
// file (a device such as /dev/null, a pipe) is written directly instead and
// never replaced.  Nothing is ever written through a symbolic link: the
// folder is reached by descriptor (folderwalk.h), the temporary file is
// created exclusively, and a link under the output's name is replaced by the
// new file, never followed.

#ifndef VOXPATCH_STAGEDOUTPUTFILE_H
#define VOXPATCH_STAGEDOUTPUTFILE_H

#include <cstddef>
#include <string>

namespace voxpatch {

// Writes all n bytes to the descriptor, going on after interrupted writes.
bool WriteFully(int fd, const void* data, size_t n);

class StagedOutputFile {
 public:
  StagedOutputFile() = default;
  // Removes the temporary file unless Commit succeeded.
  ~StagedOutputFile();
  StagedOutputFile(const StagedOutputFile&) = delete;
  StagedOutputFile& operator=(const StagedOutputFile&) = delete;

  bool Open(const char* path);
  // Writes all n bytes or fails.
  bool Write(const void* data, size_t n);
  // Closes the file and puts it in place.
  bool Commit();
  // Closes and removes the temporary file; the path is left alone.
  void Abort();
  // Whether Open would stage the path (it is a regular file, a link or does
  // not exist) rather than write it directly.
  static bool Stages(const char* path);

  // Writes length bytes to path in one go; true when the file is in place
  // whole.
  static bool WriteWhole(const char* path, const void* data, size_t length);

 private:
  int fd_ = -1;
  int folder_fd_ = -1;
  bool direct_ = false;
  std::string name_;
  std::string temp_name_;
};

}  // namespace voxpatch

#endif  // VOXPATCH_STAGEDOUTPUTFILE_H
