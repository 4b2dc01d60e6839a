// Reaching files by descriptor rather than by path.  A path is walked one
// name at a time, each folder opened relative to the one before it and
// never through a symbolic link, so that a folder swapped for a link while
// the walk runs is not entered.  A link found on the way is followed only
// when nobody but the user running the process (or root) can have made it:
// the link and the folder holding it must both belong to one of them.

#ifndef VOXPATCH_FOLDERWALK_H
#define VOXPATCH_FOLDERWALK_H

#include <string>

namespace voxpatch {

// Opens the folder at path (absolute, or relative to the working folder)
// by the walk above.  The descriptor is an O_PATH one unless readable is
// set (then it can be listed).  -1 with errno set on failure; ELOOP for a
// link that may not be followed.
int OpenFolderWalked(const char* path, bool readable = false);

// Opens, by the walk above, the folder that holds the last name of path and
// puts that name in *name.  The last name itself is not looked at.  Fails
// with EINVAL when path ends in "." or "..", or names no entry.
int OpenParentWalked(const char* path, std::string* name);

// Whether a link owned by link_owner inside a folder owned by folder_owner
// may be followed.
bool MayFollowLink(unsigned link_owner, unsigned folder_owner);

// Settles the folder at path (absolute, written without "." and ".."): it is
// opened now by the walk above, and later walks of paths below it start at
// that descriptor instead of at "/".  A program settles the few folders it
// works in (the installation, its session folder) once; their files are then
// reached in as many steps as they lie below them, and always inside the
// very folder settled, whatever happens to the folders above it meanwhile.
// Settling path again opens it anew.  False with errno set when it cannot be
// opened (nothing is settled then).
bool SettleFolder(const char* path);
// Forgets the settled folder path (a no-op when it is not settled).  Pins of
// it (below) keep it until the last of them goes.
void UnsettleFolder(const char* path);

// Keeps one folder settled for as long as the pin holds it: a task that
// works on several files of one folder walks to it once, and every later
// walk of a path in it starts at the folder reached then.  Pins of one folder
// share its descriptor; a folder that SettleFolder settled stays settled when
// its pins go.  Not copyable; one pin is used by one thread at a time.
class FolderPin {
 public:
  FolderPin() = default;
  ~FolderPin();
  FolderPin(const FolderPin&) = delete;
  FolderPin& operator=(const FolderPin&) = delete;

  // Pins the clean absolute folder path instead of the one held (nothing is
  // walked when it is the one held).  False with errno set when it cannot be
  // opened; the pin then holds nothing.
  bool Pin(const std::string& folder);
  // Pins the folder that holds the last name of path, as OpenParentWalked
  // reaches it.
  bool PinParentOf(const std::string& path);
  // Lets the folder held go.
  void Release();
  bool held() const { return !key_.empty(); }

 private:
  std::string key_;
};

}  // namespace voxpatch

#endif  // VOXPATCH_FOLDERWALK_H
