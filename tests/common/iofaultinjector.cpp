#include "common/iofaultinjector.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QtEndian>

#include <algorithm>

namespace
{
const int kStateSize = 4096;
} // namespace

QStringList IoFaultInjector::kinds()
{
    return {QStringLiteral("write"), QStringLiteral("create"), QStringLiteral("rename"), QStringLiteral("mkdir"),
            QStringLiteral("sync"),  QStringLiteral("chmod"),  QStringLiteral("unlink"), QStringLiteral("link"),
            QStringLiteral("read")};
}

IoFaultInjector::IoFaultInjector(const QString& library, const QString& folder)
    : m_Library(library)
    , m_Folder(folder)
{
}

bool IoFaultInjector::reset()
{
    QDir().mkpath(m_Folder);
    QFile::remove(logPath());
    QFile state(m_Folder + QStringLiteral("/state"));
    if (!state.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return state.write(QByteArray(kStateSize, '\0')) == kStateSize && state.flush();
}

QStringList IoFaultInjector::environment(const QString& program, const Fault& fault, bool record) const
{
    QStringList env{QStringLiteral("LD_PRELOAD=") + m_Library,
                    QStringLiteral("VX_IOFAULT_STATE=") + m_Folder + QStringLiteral("/state"),
                    QStringLiteral("VX_IOFAULT_PROGRAM=") + program};
    if (record)
        env << QStringLiteral("VX_IOFAULT_LOG=") + logPath();
    if (fault.nth > 0) {
        env << QStringLiteral("VX_IOFAULT_KIND=") + fault.kind << QStringLiteral("VX_IOFAULT_NTH=%1").arg(fault.nth)
            << QStringLiteral("VX_IOFAULT_ERRNO=") + fault.error
            << QStringLiteral("VX_IOFAULT_FOREVER=") + QLatin1String(fault.forGood ? "1" : "0")
            << QStringLiteral("VX_IOFAULT_PATHS=") + fault.paths.join(QLatin1Char(':'));
    }
    return env;
}

quint64 IoFaultInjector::counter(int index) const
{
    QFile state(m_Folder + QStringLiteral("/state"));
    if (!state.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray bytes = state.read(8 * (index + 1));
    if (bytes.size() < 8 * (index + 1))
        return 0;
    return qFromLittleEndian<quint64>(bytes.constData() + 8 * index);
}

quint64 IoFaultInjector::counted() const
{
    return counter(0);
}

quint64 IoFaultInjector::injected() const
{
    return counter(1);
}

QString IoFaultInjector::logPath() const
{
    return m_Folder + QStringLiteral("/calls.log");
}

QList<IoFaultInjector::Call> IoFaultInjector::calls() const
{
    QList<Call> out;
    QFile log(logPath());
    if (!log.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray& line : log.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() < 6)
            continue;
        Call call;
        call.seq = fields.at(0).toLongLong();
        call.kind = QString::fromUtf8(fields.at(1));
        call.pid = fields.at(2).toLongLong();
        call.function = QString::fromUtf8(fields.at(3));
        call.result = QString::fromUtf8(fields.at(4));
        call.path = QFile::decodeName(fields.at(5));
        if (fields.size() > 6)
            call.path2 = QFile::decodeName(fields.at(6));
        out << call;
    }
    std::sort(out.begin(), out.end(), [](const Call& a, const Call& b) { return a.seq < b.seq; });
    return out;
}

bool IoFaultInjector::matches(const QString& path, const QStringList& patterns)
{
    if (!path.startsWith(QLatin1Char('/')))
        return false;
    for (const QString& pattern : patterns) {
        if (pattern.contains(QLatin1Char('*'))) {
            // '*' is any run of characters, '/' included; the rest stands for itself.
            QString expression = QRegularExpression::escape(pattern);
            expression.replace(QStringLiteral("\\*"), QStringLiteral(".*"));
            if (QRegularExpression(QRegularExpression::anchoredPattern(expression)).match(path).hasMatch())
                return true;
        } else if (path == pattern || path.startsWith(pattern + QLatin1Char('/'))
                   || (pattern.endsWith(QLatin1Char('/')) && path.startsWith(pattern))) {
            return true;
        }
    }
    return patterns.isEmpty();
}
