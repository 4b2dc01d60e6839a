#pragma once
// The test side of the I/O fault injector (tests/tools/iofault/iofault.c, preloaded into the
// updater programs of a run): the shared counter file, the environment that tells the injector
// what to fail or to record, and the record log read back.

#include <QList>
#include <QString>
#include <QStringList>

class IoFaultInjector
{
public:
    // The kinds of calls the injector knows, by the names it uses.
    static QStringList kinds();

    // What to fail: the nth call (from 1) of a kind on the paths, with an errno name, once or
    // for good.  paths: "/x" the file or folder /x and all below it; a pattern with '*' (any run
    // of characters, '/' included) matches whole paths.
    struct Fault
    {
        QString kind;
        QStringList paths;
        int nth = 0;
        QString error = QStringLiteral("EIO");
        bool forGood = false;
    };

    // One recorded call.
    struct Call
    {
        qint64 seq = 0;
        QString kind;
        qint64 pid = 0;
        QString function;
        QString result; // "ok", "err <n>" or "inject <n>"
        QString path;
        QString path2;  // renames and links: the second path
        bool ok() const { return result == QLatin1String("ok"); }
    };

    // library: the injector's shared library; folder: where its counter file and log go.
    IoFaultInjector(const QString& library, const QString& folder);

    // Zeroes the counters and removes the log: a new run.  False when the files cannot be made.
    bool reset();
    // "NAME=value" entries for the programs of a run: the injector loaded into the programs named
    // program, failing the fault (when its nth is above 0), recording every call when record is
    // set.
    QStringList environment(const QString& program, const Fault& fault, bool record) const;

    // Calls of the fault's kind counted on its paths so far, and calls failed.
    quint64 counted() const;
    quint64 injected() const;

    QString logPath() const;
    // The record log in order of its sequence numbers.
    QList<Call> calls() const;

    // Whether a path matches one of the patterns as the injector matches it.
    static bool matches(const QString& path, const QStringList& patterns);

private:
    quint64 counter(int index) const;

    QString m_Library;
    QString m_Folder;
};
