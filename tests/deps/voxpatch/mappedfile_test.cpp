#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <stdexcept>
#include <string>
#include <vector>

#include "deps/voxpatch/procstatus.h"
#include "mappedfile.h"

using namespace voxpatch;

namespace {

class MappedFileTest : public ::testing::Test {
 protected:
  std::string Make(const std::string& name, const std::string& contents) {
    std::string path = (dir_.path() + "/" + QString::fromStdString(name)).toStdString();
    QFile f(QString::fromStdString(path));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(contents.data(), static_cast<qint64>(contents.size()));
    f.close();
    return path;
  }
  std::string Read(const std::string& path) {
    QFile f(QString::fromStdString(path));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll().toStdString();
  }
  std::string PathOf(const std::string& name) {
    return (dir_.path() + "/" + QString::fromStdString(name)).toStdString();
  }
  QTemporaryDir dir_;
};

TEST_F(MappedFileTest, MapsWholeFileAndGivesCheckedAccess) {
  const std::string path = Make("a.bin", "0123456789");
  MappedFile file(path.c_str(), 0, MappedFile::kNormal);
  ASSERT_TRUE(file.IsValid());
  EXPECT_EQ(file.Length(), 10u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.Data()), 10), "0123456789");
  EXPECT_EQ(file.At(9), '9');
  EXPECT_EQ(file[3], '3');
  EXPECT_THROW(file.At(10), std::out_of_range);
  try {
    file.At(10);
  } catch (const std::out_of_range& e) {
    EXPECT_STREQ(e.what(), "View is not large enough");
  }
  file.Close();
  EXPECT_FALSE(file.IsValid());
  EXPECT_EQ(file.FileSize(), 0u);
  try {
    file.At(0);
    ADD_FAILURE() << "no exception without a view";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "No view mapped");
  }
}

TEST_F(MappedFileTest, LengthLimitsTheView) {
  const std::string path = Make("b.bin", "abcdefgh");
  MappedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 3, MappedFile::kSequential));
  EXPECT_EQ(file.Length(), 3u);
  EXPECT_THROW(file.At(3), std::out_of_range);
  // A length beyond the file is cut to the file.
  ASSERT_TRUE(file.MapView(2, 100));
  EXPECT_EQ(file.Length(), 6u);
  EXPECT_EQ(file.At(0), 'c');
  ASSERT_TRUE(file.MapView(8 - 1, 0));
  EXPECT_EQ(file.Length(), 1u);
  EXPECT_EQ(file.At(0), 'h');
}

TEST_F(MappedFileTest, OffsetBeyondFileLeavesNoView) {
  const std::string path = Make("c.bin", "abcdefgh");
  MappedFile file(path.c_str(), 0, MappedFile::kRandom);
  ASSERT_TRUE(file.IsValid());
  EXPECT_FALSE(file.MapView(9, 0));
  EXPECT_FALSE(file.IsValid());
  EXPECT_EQ(file.Data(), nullptr);
  // An offset at the very end leaves nothing to map either.
  EXPECT_FALSE(file.MapView(8, 0));
  EXPECT_TRUE(file.MapView(0, 0));
}

TEST_F(MappedFileTest, FilesThatCannotBeMapped) {
  const std::string empty = Make("empty.bin", "");
  MappedFile a(empty.c_str(), 0, MappedFile::kNormal);
  EXPECT_FALSE(a.IsValid());
  MappedFile b(PathOf("missing.bin").c_str(), 0, MappedFile::kNormal);
  EXPECT_FALSE(b.IsValid());
  MappedFile c;
  EXPECT_FALSE(c.MapView(0, 0)) << "no descriptor";
  MappedFile d(dir_.path().toStdString().c_str(), 0, MappedFile::kNormal);
  EXPECT_FALSE(d.IsValid()) << "a folder is not a mappable file";
}

TEST_F(MappedFileTest, OpenIsRefusedWhileAViewIsMapped) {
  const std::string first = Make("first.bin", "first");
  const std::string second = Make("second.bin", "second!");
  MappedFile file(first.c_str(), 0, MappedFile::kNormal);
  ASSERT_TRUE(file.IsValid());
  EXPECT_FALSE(file.Open(second.c_str(), 0, MappedFile::kNormal));
  EXPECT_EQ(file.Length(), 5u);
  EXPECT_EQ(file.At(0), 'f');
  file.Close();
  EXPECT_TRUE(file.Open(second.c_str(), 0, MappedFile::kNormal));
  EXPECT_EQ(file.Length(), 7u);
}

TEST_F(MappedFileTest, AnyHintMaps) {
  const std::string path = Make("hints.bin", "xyz");
  for (int hint : {0, 1, 2, 7, -1}) {
    MappedFile file(path.c_str(), 0, hint);
    EXPECT_TRUE(file.IsValid()) << hint;
    EXPECT_EQ(file.At(2), 'z');
  }
  EXPECT_GT(MappedFile::PageSize(), 0u);
  EXPECT_EQ(MappedFile::PageSize() & (MappedFile::PageSize() - 1), 0u);
}

TEST_F(MappedFileTest, WriteBufferToFileTruncatesAndReportsCount) {
  const std::string path = Make("out.bin", "a much longer old content");
  EXPECT_EQ(WriteBufferToFile(path.c_str(), "new", 3), 3u);
  EXPECT_EQ(Read(path), "new");
  const std::string fresh = PathOf("fresh.bin");
  EXPECT_EQ(WriteBufferToFile(fresh.c_str(), "", 0), 0u);
  EXPECT_TRUE(QFile::exists(QString::fromStdString(fresh)));
  EXPECT_EQ(Read(fresh), "");
  EXPECT_EQ(WriteBufferToFile(dir_.path().toStdString().c_str(), "x", 1), 0u);
  EXPECT_EQ(WriteBufferToFile(PathOf("no/such/dir/file").c_str(), "x", 1), 0u);
}

TEST_F(MappedFileTest, WriteBufferToFileReportsAFailedClose) {
  // /dev/full accepts the buffered write and fails when the data is flushed
  // at close, as a full disk does.
  if (!QFile::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  std::vector<char> data(100, 'x');
  EXPECT_LT(WriteBufferToFile("/dev/full", data.data(), data.size()), data.size());
}

}  // namespace

TEST_F(MappedFileTest, ReleasedPagesLeaveTheProcessAndReadBackUnchanged) {
  std::string contents(8u << 20, '\0');
  for (size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<char>(i * 7 + i / 4096);
  // At an offset inside a page, so that the view does not start the mapping.
  const std::string path = Make("big.bin", contents);
  MappedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 0, MappedFile::kNormal));
  ASSERT_TRUE(file.MapView(100, 0));
  auto sum = [&] {
    uint64_t total = 0;
    for (uint64_t i = 0; i < file.Length(); ++i) total += file[i];
    return total;
  };
  uint64_t expected = 0;
  for (size_t i = 100; i < contents.size(); ++i) expected += static_cast<uint8_t>(contents[i]);
  ASSERT_EQ(expected, sum());
  const long touched = voxpatch_test::ProcStatusKiB("RssFile:");
  file.ReleaseResidentPages();
  const long released = voxpatch_test::ProcStatusKiB("RssFile:");
  ASSERT_GE(touched, 0);
  EXPECT_GE(touched - released, 7 * 1024) << "most of the 8 MiB left the process";
  // The view stays valid and reads the file again.
  EXPECT_EQ(expected, sum());
  EXPECT_EQ(contents[100], static_cast<char>(file[0]));
  // Without a view it does nothing.
  file.Close();
  file.ReleaseResidentPages();
}
