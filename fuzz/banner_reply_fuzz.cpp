// Parses arbitrary banner server replies, cut to the 1024 bytes the socket read keeps.  An
// accepted reply is exactly image URL, comma, click URL, with a web address to fetch the image
// from and a click address that is empty or a web address; a rejected one leaves both alone.
#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "banner.h"

namespace {

void dropMessages(QtMsgType, const QMessageLogContext &, const QString &) {}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qInstallMessageHandler(dropMessages);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *bytes = reinterpret_cast<const char *>(data);
    const int length = int(std::min<size_t>(size, 1024));
    QString bannerUrl;
    QString clickUrl;
    if (!Banner::parseReply(bytes, length, &bannerUrl, &clickUrl)) {
        if (!bannerUrl.isNull() || !clickUrl.isNull())
            std::abort();
        return 0;
    }
    if (bannerUrl.contains(QLatin1Char(',')) || clickUrl.contains(QLatin1Char(','))
        || bannerUrl + QLatin1Char(',') + clickUrl != QString::fromLatin1(bytes, length))
        std::abort();
    if (!Banner::isWebUrl(QUrl(bannerUrl, QUrl::TolerantMode)))
        std::abort();
    if (!clickUrl.isEmpty() && !Banner::isWebUrl(QUrl(clickUrl, QUrl::TolerantMode)))
        std::abort();
    return 0;
}
