#include "namewatcher.h"

#include <QDirIterator>
#include <QFile>

#include <cerrno>
#include <sys/inotify.h>
#include <unistd.h>

namespace
{
const uint32_t kDepartures = IN_DELETE | IN_MOVED_FROM;
}

NameWatcher::NameWatcher(const QString& root)
    : m_Fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
{
    if (m_Fd < 0)
        return;
    QStringList folders{QString()};
    QDirIterator it(root, QDir::Dirs | QDir::Hidden | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        folders << it.next().mid(root.size() + 1);
    for (const QString& folder : folders) {
        const QString path = folder.isEmpty() ? root : root + QLatin1Char('/') + folder;
        const int wd = inotify_add_watch(m_Fd, QFile::encodeName(path).constData(), kDepartures | IN_ONLYDIR);
        if (wd < 0) {
            close(m_Fd);
            m_Fd = -1;
            return;
        }
        m_Folders.insert(wd, folder);
    }
}

NameWatcher::~NameWatcher()
{
    if (m_Fd >= 0)
        close(m_Fd);
}

QStringList NameWatcher::departures()
{
    alignas(inotify_event) char buffer[64 * 1024];
    for (;;) {
        const ssize_t n = m_Fd >= 0 ? read(m_Fd, buffer, sizeof buffer) : -1;
        if (n <= 0)
            break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (!(event->mask & kDepartures) || event->len == 0 || !m_Folders.contains(event->wd))
                continue;
            const QString folder = m_Folders.value(event->wd);
            const QString name = QFile::decodeName(event->name);
            m_Departures << (folder.isEmpty() ? name : folder + QLatin1Char('/') + name);
        }
    }
    return m_Departures;
}
