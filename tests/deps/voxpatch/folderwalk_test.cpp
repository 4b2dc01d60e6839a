// Walks that start at a settled folder: they reach what the walk from "/" reaches, stay in the
// very folder settled when the folders above it change, and keep refusing links below it.

#include "folderwalk.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <memory>
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

// A pinned folder is the start of every walk below it, whatever becomes of its name, until the
// last pin of it goes; pins of one folder count, and a settled folder outlives its pins.
TEST_F(Tree, PinnedFolderHoldsUntilItsLastPinGoes) {
  const std::string a = Contents() + "/a";
  const auto pinned = Of(a + "/b");
  auto first = std::make_unique<FolderPin>();
  FolderPin second;
  ASSERT_TRUE(first->Pin(a));
  ASSERT_TRUE(second.Pin(a + "/"));  // the same folder, written another way
  EXPECT_TRUE(first->held());
  ASSERT_EQ(::rename(a.c_str(), (Contents() + "/moved").c_str()), 0);
  ASSERT_EQ(::mkdir(a.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((a + "/b").c_str(), 0755), 0);
  std::string name;
  const int parent = OpenParentWalked((a + "/b/file").c_str(), &name);
  ASSERT_GE(parent, 0);
  struct stat st {};
  ASSERT_EQ(::fstat(parent, &st), 0);
  ::close(parent);
  EXPECT_EQ(std::make_pair(st.st_dev, st.st_ino), pinned);
  first.reset();
  EXPECT_EQ(Reached(a + "/b"), pinned);
  second.Release();
  EXPECT_FALSE(second.held());
  EXPECT_EQ(Reached(a + "/b"), Of(a + "/b"));
  EXPECT_NE(Reached(a + "/b"), pinned);
}

TEST_F(Tree, PinsAndSettlingOfOneFolder) {
  const std::string a = Contents() + "/a";
  const auto original = Of(a);
  ASSERT_TRUE(SettleFolder(a.c_str()));
  {
    FolderPin pin;
    ASSERT_TRUE(pin.Pin(a));
    UnsettleFolder(a.c_str());
    ASSERT_EQ(::rename(a.c_str(), (Contents() + "/moved").c_str()), 0);
    ASSERT_EQ(::mkdir(a.c_str(), 0755), 0);
    EXPECT_EQ(Reached(a), original);  // the pin still holds it
    // Settled again, it is opened anew from the folders above it: pins then share that one.
    ASSERT_TRUE(SettleFolder(a.c_str()));
    EXPECT_EQ(Reached(a), Of(a));
  }
  // The settled folder stays when the pin goes.
  ASSERT_EQ(::rename(a.c_str(), (Contents() + "/second").c_str()), 0);
  EXPECT_EQ(Reached(a), Of(Contents() + "/second"));
  UnsettleFolder(a.c_str());
  EXPECT_EQ(Reached(a), std::make_pair(dev_t(0), ino_t(0)));
}

TEST_F(Tree, APinMovesAndRefusesWhatItCannotHold) {
  FolderPin pin;
  ASSERT_TRUE(pin.Pin(Contents() + "/a"));
  ASSERT_TRUE(pin.Pin(Contents() + "/a/b"));  // lets the first one go
  ASSERT_EQ(::rename((Contents() + "/a/b").c_str(), (root_ + "/b").c_str()), 0);
  ASSERT_EQ(::rename((Contents() + "/a").c_str(), (root_ + "/a").c_str()), 0);
  EXPECT_EQ(Reached(Contents() + "/a"), std::make_pair(dev_t(0), ino_t(0)));
  EXPECT_EQ(Reached(Contents() + "/a/b"), Of(root_ + "/b"));
  struct Case {
    std::string path;
    int error;
  };
  for (const Case& c : {Case{Contents() + "/none", ENOENT}, Case{Contents() + "/../app", EINVAL},
                        Case{"relative", EINVAL}}) {
    errno = 0;
    EXPECT_FALSE(pin.Pin(c.path)) << c.path;
    EXPECT_EQ(errno, c.error) << c.path;
    EXPECT_FALSE(pin.held()) << c.path;
  }
  EXPECT_EQ(Reached(Contents() + "/a/b"), std::make_pair(dev_t(0), ino_t(0)));
}

}  // namespace
