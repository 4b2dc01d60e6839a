#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compressedfile.h"
#include "deps/voxpatch/logcapture.h"
#include "deps/voxpatch/testbytes.h"
#include "lzmaioout.h"
#include "streams.h"

using namespace voxpatch;

namespace {

using voxpatch_test::Bytes;
using voxpatch_test::Contents;
using voxpatch_test::Random;



Bytes Text(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>("[Files]\nname=value\n"[(i * 5 + i / 7) % 19]);
  return b;
}

// A container put together field by field.
Bytes Container(uint32_t magic, uint32_t checksum, uint32_t directive, const Bytes& body,
                const Bytes& trailer = {}) {
  ByteWriter w;
  w.PutVarint(magic);
  w.PutVarint(checksum);
  w.PutVarint(directive);
  EXPECT_TRUE(WriteLzma2Block(body.data(), body.size(), &w));
  w.Write(trailer.data(), trailer.size());
  return Contents(w);
}

class CompressedFileTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) {
    return (dir_.path() + "/" + QString::fromStdString(name)).toStdString();
  }
  std::string Write(const std::string& name, const Bytes& data) {
    QFile f(QString::fromStdString(Path(name)));
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<qint64>(data.size()));
    return Path(name);
  }
  Bytes Read(const std::string& path) {
    QFile f(QString::fromStdString(path));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QByteArray a = f.readAll();
    return Bytes(a.begin(), a.end());
  }
  bool Exists(const std::string& path) { return QFile::exists(QString::fromStdString(path)); }

  QTemporaryDir dir_;
};

TEST_F(CompressedFileTest, RoundTripsWithThePlainDirective) {
  const std::vector<Bytes> payloads = {{'x'}, Text(200000), Random(70000, 3)};
  for (size_t i = 0; i < payloads.size(); ++i) {
    for (bool executable_aware : {false, true}) {
      SCOPED_TRACE(std::to_string(i) + (executable_aware ? " executable-aware" : ""));
      LogCapture capture;
      const std::string input = Write("in" + std::to_string(i), payloads[i]);
      const std::string packed = Path("packed");
      const std::string unpacked = Path("unpacked");
      ASSERT_TRUE(CompressLzmaFile(input.c_str(), packed.c_str(), executable_aware));
      EXPECT_FALSE(capture.contains("falling back to default compression"));

      const Bytes container = Read(packed);
      ByteReader r(container.data(), container.size());
      uint32_t magic = 0, checksum = 0, directive = 0;
      ASSERT_TRUE(r.GetVarint(&magic) && r.GetVarint(&checksum) && r.GetVarint(&directive));
      EXPECT_EQ(magic, 132781929u);
      EXPECT_EQ(checksum, ComputeCrc(payloads[i].data(), payloads[i].size()));
      EXPECT_EQ(directive, 1u);
      uint8_t property = 0;
      uint32_t size = 0;
      ASSERT_TRUE(r.Read(&property, 1) && r.GetVarint(&size));
      EXPECT_EQ(property, 0x1C);
      EXPECT_EQ(size, payloads[i].size());

      Write("unpacked", {'o', 'l', 'd', ' ', 'c', 'o', 'n', 't', 'e', 'n', 't', 's', '!', '!'});
      ASSERT_TRUE(DecompressLzmaFile(packed.c_str(), unpacked.c_str()));
      EXPECT_TRUE(Read(unpacked) == payloads[i]) << "output replaced, not merged";
      EXPECT_TRUE(capture.lines().empty());
    }
  }
}

TEST_F(CompressedFileTest, BytesBehindTheBlockDoNotMatter) {
  const Bytes payload = Text(5000);
  const std::string packed =
      Write("packed", Container(132781929, ComputeCrc(payload.data(), payload.size()), 1,
                                payload, Random(100, 1)));
  const std::string out = Path("out");
  ASSERT_TRUE(DecompressLzmaFile(packed.c_str(), out.c_str()));
  EXPECT_EQ(Read(out), payload);
}

struct BadContainer {
  const char* name;
  Bytes bytes;
  const char* last_message;
  size_t messages;
};

Bytes SetOf(const std::vector<Bytes>& streams) {
  StreamBundleWriter set;
  set.SetCount(streams.size());
  for (size_t i = 0; i < streams.size(); ++i) set.stream(i)->Write(streams[i].data(), streams[i].size());
  ByteWriter out;
  EXPECT_TRUE(set.SerializeTo(&out));
  return Contents(out);
}

std::vector<BadContainer> BadContainers() {
  const Bytes payload = Text(3000);
  const uint32_t crc = ComputeCrc(payload.data(), payload.size());
  Bytes header_only;
  {
    ByteWriter w;
    w.PutVarint(132781929);
    w.PutVarint(crc);
    header_only = Contents(w);
  }
  Bytes garbage_body;
  {
    ByteWriter w;
    w.PutVarint(132781929);
    w.PutVarint(crc);
    w.PutVarint(1);
    const Bytes junk = {0x1C, 0x10, 0x77, 0x77, 0x77, 0x77};
    w.Write(junk.data(), junk.size());
    garbage_body = Contents(w);
  }
  Bytes directive2_garbage = garbage_body;
  directive2_garbage[header_only.size()] = 2;
  Bytes directive3 = Container(132781929, crc, 3, payload);
  return {
      {"magic and checksum only", header_only, "could not read lzma header", 1},
      {"other magic", Container(132781928, crc, 1, payload), "not lzma file", 1},
      {"directive 3", directive3, "Unknown preprocessing dirrective", 1},
      {"directive 0", Container(132781929, crc, 0, payload), "Unknown preprocessing dirrective", 1},
      {"wrong checksum", Container(132781929, crc ^ 1, 1, payload), "crc mismatch", 1},
      {"undecodable body", garbage_body, "could not decompress file", 2},
      {"directive 2 undecodable body", directive2_garbage, "could not decompress file", 2},
      {"directive 2 body not a set", Container(132781929, crc, 2, payload),
       "could not init dif_and_dis set", 1},
      {"directive 2 with one stream", Container(132781929, crc, 2, SetOf({payload})),
       "dis_and_diff too small", 1},
      {"directive 2 with no stream", Container(132781929, crc, 2, SetOf({})),
       "dis_and_diff too small", 1},
      {"directive 2 program not a set", Container(132781929, crc, 2, SetOf({{1, 2, 3}, {0}})),
       "could not init program_source set", 1},
  };
}

TEST_F(CompressedFileTest, BadContainersFailWithTheirMessageAndLeaveOutputAlone) {
  for (const BadContainer& c : BadContainers()) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    const std::string packed = Write("bad", c.bytes);
    const std::string out = Write("out", {'k', 'e', 'e', 'p'});
    EXPECT_FALSE(DecompressLzmaFile(packed.c_str(), out.c_str()));
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), c.messages);
    EXPECT_EQ(lines.back().message, c.last_message);
    EXPECT_EQ(lines.back().level, 1);
    EXPECT_EQ(Read(out), (Bytes{'k', 'e', 'e', 'p'}));
  }
}

TEST_F(CompressedFileTest, EveryTruncationFailsWithoutCreatingOutput) {
  const Bytes payload = Text(20000);
  const Bytes container = Container(132781929, ComputeCrc(payload.data(), payload.size()), 1, payload);
  const std::string out = Path("never");
  for (size_t cut = 0; cut < container.size(); ++cut) {
    const std::string packed = Write("cut", Bytes(container.begin(), container.begin() + cut));
    LogCapture capture;
    EXPECT_FALSE(DecompressLzmaFile(packed.c_str(), out.c_str())) << cut;
    EXPECT_FALSE(capture.lines().empty());
  }
  EXPECT_FALSE(Exists(out));
}

TEST_F(CompressedFileTest, FilesThatCannotBeOpenedOrWritten) {
  LogCapture capture;
  const std::string empty = Write("empty", {});
  EXPECT_FALSE(DecompressLzmaFile(empty.c_str(), Path("o1").c_str()));
  EXPECT_FALSE(DecompressLzmaFile(Path("missing").c_str(), Path("o2").c_str()));
  EXPECT_FALSE(CompressLzmaFile(empty.c_str(), Path("o3").c_str(), false));
  EXPECT_FALSE(CompressLzmaFile(Path("missing").c_str(), Path("o4").c_str(), true));
  EXPECT_EQ(capture.messages(),
            (std::vector<std::string>{"could not open lzma file", "could not open lzma file",
                                      "could not open file", "could not open file"}));
  EXPECT_FALSE(Exists(Path("o1")) || Exists(Path("o2")) || Exists(Path("o3")) ||
               Exists(Path("o4")));

  capture.clear();
  const std::string input = Write("input", Text(1000));
  EXPECT_FALSE(CompressLzmaFile(input.c_str(), dir_.path().toStdString().c_str(), false));
  ASSERT_TRUE(CompressLzmaFile(input.c_str(), Path("packed").c_str(), false));
  EXPECT_FALSE(DecompressLzmaFile(Path("packed").c_str(), dir_.path().toStdString().c_str()));
  EXPECT_EQ(capture.messages(), (std::vector<std::string>{"could not write output file",
                                                          "could not write output file"}));
}

}  // namespace

// --- Unpacking untrusted containers within a limit ----------------------------

TEST_F(CompressedFileTest, LimitedUnpackRefusesWhatPassesTheLimit) {
  const Bytes payload = Text(200000);
  const uint32_t crc = ComputeCrc(payload.data(), payload.size());
  const std::string plain = Write("plain", Container(132781929, crc, 1, payload));
  const std::string fixture = std::string(VX_FIXTURE_DIR) + "/macho64_bundle_v1";
  const std::string aware = Path("aware");
  ASSERT_TRUE(CompressLzmaFile(fixture.c_str(), aware.c_str(), true));
  const Bytes fixture_bytes = Read(fixture);
  struct Case {
    const char* name;
    std::string container;
    uint64_t limit;
    bool allow_executable_aware;
    bool ok;
    const char* first_message;
  };
  const std::vector<Case> cases = {
      {"exactly the limit", plain, payload.size(), false, true, nullptr},
      {"one byte over", plain, payload.size() - 1, true, false, "LZMA2 block larger than allowed"},
      {"limit zero", plain, 0, true, false, "LZMA2 block larger than allowed"},
      {"directive 2 allowed", aware, fixture_bytes.size(), true, true, nullptr},
      {"directive 2 refused", aware, 1u << 30, false, false,
       "executable-aware container not allowed here"},
      {"directive 2 over the limit", aware, fixture_bytes.size() - 1, true, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LogCapture capture;
    const std::string out = Write("out", {'k', 'e', 'e', 'p'});
    EXPECT_EQ(DecompressLzmaFile(c.container.c_str(), out.c_str(), c.limit,
                                 c.allow_executable_aware),
              c.ok);
    if (c.ok) {
      EXPECT_EQ(Read(out).size(), c.container == plain ? payload.size() : fixture_bytes.size());
    } else {
      EXPECT_EQ(Read(out), (Bytes{'k', 'e', 'e', 'p'}));
      ASSERT_FALSE(capture.lines().empty());
      if (c.first_message != nullptr) EXPECT_EQ(capture.lines().front().message, c.first_message);
    }
  }
}

// --- Plain containers are decoded as a stream --------------------------------

TEST_F(CompressedFileTest, PlainContainerIsDecodedIntoPlaceOnlyWhenComplete) {
  // Several decoder rounds, and a size that ends inside one.
  const Bytes payload = Random(3 * (1u << 20) + 17, 5);
  const uint32_t crc = ComputeCrc(payload.data(), payload.size());
  const std::string good = Write("good", Container(132781929, crc, 1, payload));
  const std::string bad = Write("bad", Container(132781929, crc ^ 1, 1, payload));
  const std::string out = Write("out", {'k', 'e', 'e', 'p'});
  ASSERT_EQ(0, ::chmod(out.c_str(), 0751));
  const QStringList before = QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden);

  {
    LogCapture capture;
    EXPECT_FALSE(DecompressLzmaFile(bad.c_str(), out.c_str()));
    EXPECT_EQ(capture.messages(), std::vector<std::string>{"crc mismatch"});
  }
  EXPECT_EQ(Read(out), (Bytes{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), before) << "no temporary file left";

  ASSERT_TRUE(DecompressLzmaFile(good.c_str(), out.c_str()));
  EXPECT_TRUE(Read(out) == payload);
  struct stat st;
  ASSERT_EQ(0, ::stat(out.c_str(), &st));
  EXPECT_EQ(0751u, st.st_mode & 07777) << "the replaced file keeps its permissions";
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden), before);
}

TEST_F(CompressedFileTest, AnOutputLinkIsReplacedNeverWrittenThrough) {
  const Bytes payload = Text(5000);
  const std::string packed =
      Write("packed", Container(132781929, ComputeCrc(payload.data(), payload.size()), 1, payload));
  const std::string target = Write("target", {'o', 'l', 'd'});
  const std::string link = Path("link");
  ASSERT_EQ(0, ::symlink("target", link.c_str()));
  ASSERT_TRUE(DecompressLzmaFile(packed.c_str(), link.c_str()));
  struct stat st;
  ASSERT_EQ(0, ::lstat(link.c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_TRUE(Read(link) == payload);
  EXPECT_TRUE(Read(target) == Bytes({'o', 'l', 'd'}));
}

TEST_F(CompressedFileTest, DevicesAndPipesAreWrittenDirectly) {
  const Bytes payload = Text(300000);
  const std::string packed =
      Write("packed", Container(132781929, ComputeCrc(payload.data(), payload.size()), 1, payload));
  if (Exists("/dev/null")) {
    EXPECT_TRUE(DecompressLzmaFile(packed.c_str(), "/dev/null"));
    struct stat st;
    ASSERT_EQ(0, ::stat("/dev/null", &st));
    EXPECT_TRUE(S_ISCHR(st.st_mode));
  }
  const std::string fifo = Path("pipe");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  Bytes received;
  std::thread reader([&] {
    std::FILE* f = std::fopen(fifo.c_str(), "rb");
    if (f == nullptr) return;
    uint8_t buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) received.insert(received.end(), buffer, buffer + n);
    std::fclose(f);
  });
  EXPECT_TRUE(DecompressLzmaFile(packed.c_str(), fifo.c_str()));
  reader.join();
  EXPECT_TRUE(received == payload);
  struct stat st;
  ASSERT_EQ(0, ::stat(fifo.c_str(), &st));
  EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the pipe is never replaced";
}
