// The version-service reply: wire layout of the schema, the parse result codes and the result record.
#include "UpdateMessage.pb.h"
#include "protobufhelper.h"
#include "versionservice.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using com::voxtrel::update::Versions;

std::string serialize(int licence, const std::vector<std::tuple<std::string, int, std::string>> &channels)
{
    Versions v;
    v.set_licenseagreementid(licence);
    for (const auto &[name, number, text] : channels) {
        auto *c = v.add_channels();
        c->set_name(name);
        c->set_version_number(number);
        c->set_version_string(text);
    }
    return v.SerializeAsString();
}

int parse(const std::string &bytes, VersionInfo &info)
{
    return parseVersions(reinterpret_cast<const unsigned char *>(bytes.data()), unsigned(bytes.size()), info);
}

// A Channel written by hand: field 1 name, 2 version_number (varint), 3 version_string.
std::string channelBytes(const std::string &name, unsigned char number, const std::string &text, bool withText = true)
{
    std::string c;
    c += '\x0a'; c += char(name.size()); c += name;
    c += '\x10'; c += char(number);
    if (withText) { c += '\x1a'; c += char(text.size()); c += text; }
    return c;
}

std::string versionsBytes(unsigned char licence, const std::vector<std::string> &channels)
{
    std::string v;
    v += '\x08'; v += char(licence);
    for (const auto &c : channels) { v += '\x12'; v += char(c.size()); v += c; }
    return v;
}

} // namespace

TEST(VersionService, StartupCheckAcceptsLinkedRuntime)
{
    initProtobuf(); // would end the process on a version mismatch
    SUCCEED();
}

TEST(VersionService, AddressIsPlainHttpWithServicePath)
{
    std::string url = "previous";
    getVersionServiceUrl(url);
    EXPECT_EQ(url.rfind("http://", 0), 0u);
    EXPECT_EQ(url.substr(url.size() - 11), "/vx3-client");
    EXPECT_EQ(url.find('?'), std::string::npos);
    EXPECT_EQ(url.find("//", 7), std::string::npos);
}

TEST(VersionService, HandWrittenWireBytesParse)
{
    // Independent of the generated code: checks field numbers and types of the schema.
    const std::string bytes = versionsBytes(42, {channelBytes("stable", 100, "1.0"), channelBytes("beta", 101, "1.1b")});
    VersionInfo info;
    ASSERT_EQ(parse(bytes, info), 0);
    EXPECT_EQ(info.licenseAgreementId, 42);
    EXPECT_EQ(info.channelNames, (std::vector<std::string>{"stable", "beta"}));
    EXPECT_EQ(info.versionNumber("stable"), 100);
    EXPECT_EQ(info.versionString("beta"), "1.1b");
}

TEST(VersionService, ResultCodesAndUnchangedRecord)
{
    struct Case {
        const char *what;
        std::string bytes;
        int result;
    };
    const std::string good = serialize(1, {{"stable", 3, "3"}});
    const Case cases[] = {
        {"empty input", std::string(), 2},
        {"licence id missing", versionsBytes(1, {channelBytes("beta", 2, "2")}).substr(2), 2},
        {"channel without version_string", versionsBytes(1, {channelBytes("beta", 2, "2", false)}), 2},
        {"truncated", good.substr(0, good.size() - 1), 2},
        {"garbage", std::string("\xff\xff\xff\xff\xff\xff", 6), 2},
        {"length beyond the data", std::string("\x08\x01\x12\x7f\x0a", 5), 2},
        {"unknown fields skipped", versionsBytes(1, {channelBytes("beta", 2, "2") + std::string("\x20\x05", 2)}) + std::string("\x2a\x02hi", 4), 0},
        {"no channels", versionsBytes(9, {}), 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VersionInfo info;
        info.licenseAgreementId = -7;
        EXPECT_EQ(parse(c.bytes, info), c.result);
        if (c.result != 0) {
            EXPECT_EQ(info.licenseAgreementId, -7);
            EXPECT_TRUE(info.channelNames.empty());
            EXPECT_TRUE(info.channelVersions.empty());
        }
    }

    VersionInfo info;
    info.licenseAgreementId = -7;
    EXPECT_EQ(parseVersions(nullptr, 10, info), 1);
    EXPECT_EQ(info.licenseAgreementId, -7);
}

TEST(VersionService, RepeatedNameKeepsFirstOccurrence)
{
    VersionInfo info;
    ASSERT_EQ(parse(serialize(5, {{"beta", 5, "five"}, {"stable", 4, "four"}, {"beta", 6, "six"}}), info), 0);
    EXPECT_EQ(info.channelNames, (std::vector<std::string>{"beta", "stable", "beta"}));
    EXPECT_EQ(info.channelVersions.size(), 2u);
    EXPECT_EQ(info.versionNumber("beta"), 5);
    EXPECT_EQ(info.versionString("beta"), "five");
    EXPECT_EQ(info.versionNumber("alpha"), 0);
    EXPECT_EQ(info.versionString("alpha"), "");
}

TEST(VersionService, NegativeAndLargeNumbersRoundTrip)
{
    VersionInfo info;
    ASSERT_EQ(parse(serialize(-1, {{"stable", -5, ""}, {"alpha", 2147483647, "max"}}), info), 0);
    EXPECT_EQ(info.licenseAgreementId, -1);
    EXPECT_EQ(info.versionNumber("stable"), -5);
    EXPECT_EQ(info.versionNumber("alpha"), 2147483647);
}
