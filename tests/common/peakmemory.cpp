#include "common/peakmemory.h"

#include <QFile>

namespace {

// A "Name:   1234 kB" line of /proc/self/status, in bytes; -1 when absent.
qint64 statusField(const QByteArray &name)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (!line.startsWith(name + ':'))
            continue;
        const QList<QByteArray> parts = line.mid(name.size() + 1).simplified().split(' ');
        bool ok = false;
        const qint64 kib = parts.value(0).toLongLong(&ok);
        return ok ? kib * 1024 : -1;
    }
    return -1;
}

} // namespace

bool PeakMemory::start()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (!clear.open(QIODevice::WriteOnly) || clear.write("5") != 1)
        return false;
    clear.close();
    m_Start = residentBytes();
    return m_Start > 0 && peakBytes() > 0;
}

qint64 PeakMemory::growth() const
{
    return peakBytes() - m_Start;
}

qint64 PeakMemory::residentBytes()
{
    return statusField("VmRSS");
}

qint64 PeakMemory::peakBytes()
{
    return statusField("VmHWM");
}
