#include "tempenvironment.h"

#include <QDir>

namespace {
// The temp folder the test program started with; later roots never nest in earlier ones.
QString startTempPath()
{
    static const QString path = QDir::tempPath();
    return path;
}
} // namespace

TempEnvironment::TempEnvironment()
    : m_root(startTempPath() + QStringLiteral("/env-XXXXXX"))
{
    m_valid = m_root.isValid();
    const struct { const char *variable; const char *folder; } entries[] = {
        {"TMPDIR", "tmp"}, {"HOME", "home"}, {"VX3_CONFIG_DIR", "config"}};
    for (const auto &entry : entries) {
        const QString folder = path(QLatin1String(entry.folder));
        m_valid = m_valid && QDir().mkpath(folder) && qputenv(entry.variable, folder.toUtf8());
    }
}
