// Parses arbitrary version-service replies twice: with parseVersions into a VersionInfo and
// through the update checker into UpdateVersions.  A rejected reply leaves the record alone and
// gives no versions; an accepted one gives every channel it names, with the number in decimal
// and the display text of the name's first occurrence.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QtGlobal>
#include <google/protobuf/stubs/logging.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "updatechecker.h"
#include "versionservice.h"

namespace {

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

QString fromUtf8(const std::string &text)
{
    return QString::fromUtf8(text.data(), int(text.size()));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessages);
    // The runtime names every missing required field on standard error.
    google::protobuf::SetLogHandler(nullptr);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    constexpr int32_t kUntouched = -7;
    static const unsigned char kNoData = 0;
    VersionInfo info;
    info.licenseAgreementId = kUntouched;
    const int status = parseVersions(size == 0 ? &kNoData : data, unsigned(size), info);
    const UpdateVersions versions = UpdateChecker::versionsFromReply(
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), int(size)));

    if (status == ParseVersionsBadMessage) {
        if (info.licenseAgreementId != kUntouched || !info.channelNames.empty()
            || !info.channelVersions.empty() || !versions.isEmpty())
            std::abort();
        return 0;
    }
    if (status != ParseVersionsOk)
        std::abort();
    if (info.channelVersions.size() != std::set<std::string>(info.channelNames.begin(), info.channelNames.end()).size())
        std::abort();
    if (info.channelNames.empty() != versions.isEmpty())
        std::abort();

    // Distinct byte names that decode to one text share its entry; the others map one to one.
    QHash<QString, int> namesPerKey;
    for (const auto &entry : info.channelVersions)
        ++namesPerKey[fromUtf8(entry.first)];
    if (versions.size() != namesPerKey.size())
        std::abort();
    for (const auto &entry : info.channelVersions) {
        const QString key = fromUtf8(entry.first);
        if (!versions.contains(key))
            std::abort();
        if (namesPerKey.value(key) != 1)
            continue;
        const QPair<QString, QString> value = versions.value(key);
        bool ok = false;
        if (value.first.toInt(&ok) != entry.second.version_number || !ok
            || value.first != QString::number(entry.second.version_number)
            || value.second != fromUtf8(entry.second.version_string))
            std::abort();
    }
    return 0;
}
