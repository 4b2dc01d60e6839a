#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "spilledbody.h"

using namespace voxpatch;

namespace {

std::string MakeFolder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/spilledXXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  return std::string(mkdtemp(buffer.data())) + "/";
}

size_t Entries(const std::string& folder) {
  size_t n = 0;
  if (DIR* d = ::opendir(folder.c_str())) {
    while (const dirent* e = ::readdir(d)) n += e->d_name[0] != '.' || e->d_name[1] > '.';
    ::closedir(d);
  }
  return n;
}

TEST(SpilledBody, PiecesReadBackWholeAndNothingStaysInTheFolder) {
  const std::string folder = MakeFolder();
  std::string expected;
  struct Case {
    const char* label;
    std::vector<std::string> pieces;
  } cases[] = {
      {"nothing", {}},
      {"one byte", {"x"}},
      {"pieces across pages", {std::string(5000, 'a'), "", std::string(70000, 'b'), "tail"}},
  };
  for (const Case& c : cases) {
    SpilledBody spill;
    ASSERT_TRUE(spill.Create(folder)) << c.label;
    EXPECT_EQ(0u, Entries(folder)) << c.label;  // gone from the folder at once
    std::string whole;
    for (const std::string& piece : c.pieces) {
      EXPECT_TRUE(spill.Write(piece.data(), piece.size())) << c.label;
      whole += piece;
    }
    ASSERT_TRUE(spill.Map()) << c.label;
    EXPECT_FALSE(spill.failed()) << c.label;
    ASSERT_EQ(whole.size(), spill.length()) << c.label;
    if (!whole.empty()) {
      EXPECT_EQ(whole, std::string(reinterpret_cast<const char*>(spill.data()), whole.size()))
          << c.label;
    }
    // Once mapped the bytes are fixed.
    EXPECT_FALSE(spill.Write("z", 1)) << c.label;
    EXPECT_FALSE(spill.Map()) << c.label;
  }
  ::rmdir(folder.c_str());
}

TEST(SpilledBody, NoFileWithoutAFolder) {
  SpilledBody spill;
  EXPECT_FALSE(spill.Create("/nonexistent-folder-of-the-spill-test/"));
  EXPECT_FALSE(spill.Write("x", 1));
  EXPECT_FALSE(spill.Map());
}

}  // namespace

// A folder reached through a link that another user made is not written to:
// the link could lead anywhere that user chose.  A link of the user's own is
// followed.
TEST(SpilledBody, FolderBehindAnotherUsersLinkIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
  const std::string folder = MakeFolder();
  const std::string target = MakeFolder();
  struct Case {
    const char* link;
    uid_t owner;
    bool created;
  } cases[] = {{"theirs", 65534, false}, {"own", 0, true}};
  for (const Case& c : cases) {
    const std::string link = folder + c.link;
    ASSERT_EQ(0, ::symlink(target.c_str(), link.c_str()));
    ASSERT_EQ(0, ::lchown(link.c_str(), c.owner, c.owner));
    struct stat before;
    ASSERT_EQ(0, ::stat(target.c_str(), &before));
    SpilledBody spill;
    EXPECT_EQ(c.created, spill.Create(link + "/")) << c.link;
    struct stat after;
    ASSERT_EQ(0, ::stat(target.c_str(), &after));
    if (!c.created) {  // nothing made in the folder, not even for a moment
      EXPECT_EQ(before.st_mtim.tv_sec, after.st_mtim.tv_sec) << c.link;
      EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec) << c.link;
    }
    EXPECT_EQ(0u, Entries(target)) << c.link;
  }
}
