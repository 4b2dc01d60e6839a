#include <gtest/gtest.h>

#include <dirent.h>
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
