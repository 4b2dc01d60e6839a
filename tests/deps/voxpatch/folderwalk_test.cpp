// Walks that start at a settled folder: they reach what the walk from "/" reaches, stay in the
// very folder settled when the folders above it change, and keep refusing links below it.

#include "folderwalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

using namespace voxpatch;

namespace {

class Tree : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/folderwalkXXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    ASSERT_NE(mkdtemp(buffer.data()), nullptr);
    // The walk refuses links made by others: the temp path itself is taken link-free.
    root_ = std::filesystem::canonical(buffer.data()).string();
    for (const char* folder : {"/app", "/app/Contents", "/app/Contents/a", "/app/Contents/a/b"})
      ASSERT_EQ(::mkdir((root_ + folder).c_str(), 0755), 0);
  }
  void TearDown() override {
    UnsettleFolder(Contents().c_str());
    std::filesystem::remove_all(root_);
  }
  std::string Contents() const { return root_ + "/app/Contents"; }

  // The device and inode of what walking path reaches; {0, 0} when it fails.
  static std::pair<dev_t, ino_t> Reached(const std::string& path) {
    const int fd = OpenFolderWalked(path.c_str());
    struct stat st {};
    const bool ok = fd >= 0 && ::fstat(fd, &st) == 0;
    if (fd >= 0) ::close(fd);
    return ok ? std::make_pair(st.st_dev, st.st_ino) : std::make_pair(dev_t(0), ino_t(0));
  }
  static std::pair<dev_t, ino_t> Of(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 ? std::make_pair(st.st_dev, st.st_ino)
                                           : std::make_pair(dev_t(0), ino_t(0));
  }

  std::string root_;
};

TEST_F(Tree, SettledWalksReachWhatTheWalkFromTheRootReaches) {
  const std::vector<std::string> paths = {
      Contents(), Contents() + "/", Contents() + "/a", Contents() + "/a/b",
      Contents() + "/./a//b/", Contents() + "/a/b/..", Contents() + "/a/../a/b"};
  std::vector<std::pair<dev_t, ino_t>> before;
  for (const std::string& path : paths) before.push_back(Reached(path));
  ASSERT_TRUE(SettleFolder(Contents().c_str()));
  for (size_t i = 0; i < paths.size(); ++i) {
    EXPECT_NE(before[i].second, ino_t(0)) << paths[i];
    EXPECT_EQ(Reached(paths[i]), before[i]) << paths[i];
  }
  std::string name;
  const int parent = OpenParentWalked((Contents() + "/a/b/file").c_str(), &name);
  ASSERT_GE(parent, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(parent, &st), 0);
  ::close(parent);
  EXPECT_EQ(name, "file");
  EXPECT_EQ(std::make_pair(st.st_dev, st.st_ino), Of(Contents() + "/a/b"));
  // A folder beside it, or above it, is walked from the root as before.
  EXPECT_EQ(Reached(root_ + "/app"), Of(root_ + "/app"));
  EXPECT_EQ(Reached(Contents() + "/../Contents/a"), Of(Contents() + "/a"));
}

TEST_F(Tree, StaysInTheSettledFolderWhenTheFoldersAboveChange) {
  ASSERT_TRUE(SettleFolder(Contents().c_str()));
  const auto settled = Of(Contents() + "/a");
  // The bundle moved away and another put (as a link) where it was.
  ASSERT_EQ(::rename((root_ + "/app").c_str(), (root_ + "/moved").c_str()), 0);
  ASSERT_EQ(::mkdir((root_ + "/other").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root_ + "/other/Contents").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((root_ + "/other/Contents/a").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((root_ + "/other").c_str(), (root_ + "/app").c_str()), 0);
  EXPECT_EQ(Reached(Contents() + "/a"), settled);
  // Unsettled, the walk goes through the link from the root again.
  UnsettleFolder(Contents().c_str());
  EXPECT_EQ(Reached(Contents() + "/a"), Of(root_ + "/other/Contents/a"));
}

TEST_F(Tree, LinksBelowTheSettledFolderAreJudgedAsBefore) {
  ASSERT_EQ(::mkdir((root_ + "/elsewhere").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((root_ + "/elsewhere").c_str(), (Contents() + "/own").c_str()), 0);
  ASSERT_EQ(::symlink((root_ + "/elsewhere").c_str(), (Contents() + "/foreign").c_str()), 0);
  const bool root = ::geteuid() == 0;
  if (root) ASSERT_EQ(::lchown((Contents() + "/foreign").c_str(), 65534, 65534), 0);
  ASSERT_TRUE(SettleFolder(Contents().c_str()));
  EXPECT_EQ(Reached(Contents() + "/own"), Of(root_ + "/elsewhere"));
  if (root) {
    errno = 0;
    EXPECT_LT(OpenFolderWalked((Contents() + "/foreign").c_str()), 0);
    EXPECT_EQ(errno, ELOOP);
  }
}

TEST_F(Tree, OnlyCleanAbsoluteFoldersThatExistAreSettled) {
  errno = 0;
  EXPECT_FALSE(SettleFolder((Contents() + "/a/..").c_str()));
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(SettleFolder("relative/folder"));
  errno = 0;
  EXPECT_FALSE(SettleFolder((Contents() + "/none").c_str()));
  EXPECT_EQ(errno, ENOENT);
  EXPECT_LT(OpenFolderWalked((Contents() + "/none/x").c_str()), 0);
  EXPECT_EQ(errno, ENOENT);
}

}  // namespace
