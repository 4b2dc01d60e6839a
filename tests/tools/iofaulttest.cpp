// The I/O fault injector itself: one counter over every process and thread, the N-th call failed
// once or for good, paths filtered, calls on descriptors named by their paths, and the record log.
// The calls are made by iofaultprobe (tests/tools/iofault/iofaultprobe.c) with the injector
// preloaded.

#include "common/iofaultinjector.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cerrno>

namespace
{
struct ProbeRun
{
    QStringList lines;
    int exitCode = -1;
};

class IoFaultInjectorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_Dir.isValid());
        m_Work = m_Dir.filePath(QStringLiteral("work"));
        ASSERT_TRUE(QDir().mkpath(m_Work));
        ASSERT_TRUE(m_Injector.reset());
    }

    ProbeRun probe(const QStringList& arguments, const IoFaultInjector::Fault& fault, bool record = false,
                   const QString& program = QStringLiteral("iofaultprobe"))
    {
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const QString& entry : m_Injector.environment(program, fault, record)) {
            const int split = entry.indexOf(QLatin1Char('='));
            env.insert(entry.left(split), entry.mid(split + 1));
        }
        process.setProcessEnvironment(env);
        process.start(QStringLiteral(VX_IOFAULT_PROBE), arguments);
        ProbeRun run;
        if (!process.waitForFinished(60000))
            return run;
        run.exitCode = process.exitCode();
        run.lines = QString::fromLocal8Bit(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        return run;
    }

    static IoFaultInjector::Fault fault(const QString& kind, int nth, const QString& error, bool forGood,
                                        const QStringList& paths)
    {
        IoFaultInjector::Fault f;
        f.kind = kind;
        f.nth = nth;
        f.error = error;
        f.forGood = forGood;
        f.paths = paths;
        return f;
    }

    QTemporaryDir m_Dir;
    QString m_Work;
    IoFaultInjector m_Injector{QStringLiteral(VX_IOFAULT_LIBRARY), m_Dir.filePath(QStringLiteral("injector"))};
};
} // namespace

// 4 processes of 4 threads making 25 folders each: 400 calls on one counter.
TEST_F(IoFaultInjectorTest, OneCounterOverProcessesAndThreads)
{
    struct Case
    {
        int nth;
        bool forGood;
        QString error;
        int errorNumber;
        int failed;
    };
    const Case cases[] = {
        {137, false, QStringLiteral("EDQUOT"), EDQUOT, 1},
        {400, false, QStringLiteral("ENOSPC"), ENOSPC, 1},
        {391, true, QStringLiteral("EIO"), EIO, 10},
        {401, false, QStringLiteral("EROFS"), EROFS, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.nth);
        ASSERT_TRUE(m_Injector.reset());
        ASSERT_TRUE(QDir(m_Work).removeRecursively() && QDir().mkpath(m_Work));
        const ProbeRun run = probe({QStringLiteral("mkdirs"), m_Work, QStringLiteral("4"), QStringLiteral("4"),
                                    QStringLiteral("25")},
                                   fault(QStringLiteral("mkdir"), c.nth, c.error, c.forGood, {m_Work}));
        ASSERT_EQ(run.exitCode, 0);
        ASSERT_FALSE(run.lines.isEmpty());
        EXPECT_EQ(run.lines.first(), QStringLiteral("failed %1").arg(c.failed));
        EXPECT_EQ(run.lines.mid(1), QStringList(QVector<QString>(c.failed, QStringLiteral("errno %1").arg(c.errorNumber)).toList()));
        EXPECT_EQ(m_Injector.counted(), 400u);
        EXPECT_EQ(m_Injector.injected(), quint64(c.failed));
        EXPECT_EQ(QDir(m_Work).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 400 - c.failed);
    }
}

// Only calls on the paths are counted: a folder and what is below it, or a pattern with '*'.
TEST_F(IoFaultInjectorTest, PathsChooseTheCallsCounted)
{
    struct Case
    {
        QStringList paths;
        int nth;
        quint64 counted;
        int failed;
    };
    const QString work = m_Work;
    const Case cases[] = {
        {{work + QStringLiteral("-other")}, 1, 0, 0},             // a sibling with the same start
        {{QStringLiteral("*/p2_t*")}, 10, 10, 1},                 // the third process's folders
        {{work + QStringLiteral("/p0_t0_*"), QStringLiteral("*_t1_3")}, 6, 10, 1},
        {{}, 10, 50, 1},                                          // no paths: every call
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.paths.join(QLatin1Char(':')).toStdString());
        ASSERT_TRUE(m_Injector.reset());
        ASSERT_TRUE(QDir(m_Work).removeRecursively() && QDir().mkpath(m_Work));
        const ProbeRun run = probe({QStringLiteral("mkdirs"), m_Work, QStringLiteral("5"), QStringLiteral("2"),
                                    QStringLiteral("5")},
                                   fault(QStringLiteral("mkdir"), c.nth, QStringLiteral("EIO"), false, c.paths));
        ASSERT_EQ(run.exitCode, 0);
        ASSERT_FALSE(run.lines.isEmpty());
        EXPECT_EQ(run.lines.first(), QStringLiteral("failed %1").arg(c.failed));
        EXPECT_EQ(m_Injector.counted(), c.counted);
    }
}

// Each kind fails the call it names, also through a folder's descriptor or a file's.
TEST_F(IoFaultInjectorTest, EachKindFailsItsCall)
{
    struct Case
    {
        QString kind;
        QString call;
    };
    const Case cases[] = {
        {QStringLiteral("create"), QStringLiteral("openat")},   {QStringLiteral("write"), QStringLiteral("write")},
        {QStringLiteral("sync"), QStringLiteral("fsync")},      {QStringLiteral("rename"), QStringLiteral("renameat")},
        {QStringLiteral("link"), QStringLiteral("linkat")},     {QStringLiteral("chmod"), QStringLiteral("fchmodat")},
        {QStringLiteral("unlink"), QStringLiteral("unlinkat")}, {QStringLiteral("read"), QStringLiteral("read")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.kind.toStdString());
        ASSERT_TRUE(m_Injector.reset());
        ASSERT_TRUE(QDir(m_Work).removeRecursively() && QDir().mkpath(m_Work));
        const ProbeRun run = probe({QStringLiteral("files"), m_Work},
                                   fault(c.kind, 1, QStringLiteral("EROFS"), false, {m_Work}));
        ASSERT_EQ(run.exitCode, 0);
        EXPECT_TRUE(run.lines.contains(QStringLiteral("%1 %2").arg(c.call).arg(EROFS))) << run.lines.join(';').toStdString();
        EXPECT_EQ(run.lines.filter(QStringLiteral(" %1").arg(EROFS)).size(), 1) << run.lines.join(';').toStdString();
        EXPECT_EQ(m_Injector.injected(), 1u);
    }
    // Another program than the one named takes no part.
    ASSERT_TRUE(m_Injector.reset());
    ASSERT_TRUE(QDir(m_Work).removeRecursively() && QDir().mkpath(m_Work));
    const ProbeRun other = probe({QStringLiteral("files"), m_Work},
                                 fault(QStringLiteral("create"), 1, QStringLiteral("EIO"), true, {m_Work}), false,
                                 QStringLiteral("update"));
    EXPECT_TRUE(other.lines.contains(QStringLiteral("openat ok")));
    EXPECT_EQ(m_Injector.counted(), 0u);
}

// The record log names every call by absolute paths, in order.
TEST_F(IoFaultInjectorTest, RecordModeLogsCallsWithTheirPaths)
{
    const ProbeRun run = probe({QStringLiteral("files"), m_Work}, IoFaultInjector::Fault(), true);
    ASSERT_EQ(run.exitCode, 0);
    QStringList seen;
    for (const IoFaultInjector::Call& call : m_Injector.calls()) {
        if (!call.path.startsWith(m_Work) && !call.path2.startsWith(m_Work))
            continue;
        EXPECT_TRUE(call.ok()) << call.function.toStdString();
        QString line = call.kind + QLatin1Char(' ') + call.function + QLatin1Char(' ') + QDir(m_Work).relativeFilePath(call.path);
        if (!call.path2.isEmpty())
            line += QLatin1Char(' ') + QDir(m_Work).relativeFilePath(call.path2);
        seen << line;
    }
    const QStringList expected{
        QStringLiteral("create openat a"),        QStringLiteral("write write a"),
        QStringLiteral("sync fsync a"),           QStringLiteral("rename renameat a b"),
        QStringLiteral("link linkat b c"),        QStringLiteral("chmod fchmodat c"),
        QStringLiteral("unlink unlinkat b"),      QStringLiteral("read read c"),
        QStringLiteral("sync syncfs ."),
    };
    EXPECT_EQ(seen, expected);
}

TEST(IoFaultInjectorPatterns, MatchAsTheInjectorDoes)
{
    const QStringList folder{QStringLiteral("/a/b")};
    EXPECT_TRUE(IoFaultInjector::matches(QStringLiteral("/a/b"), folder));
    EXPECT_TRUE(IoFaultInjector::matches(QStringLiteral("/a/b/c"), folder));
    EXPECT_FALSE(IoFaultInjector::matches(QStringLiteral("/a/bc"), folder));
    const QStringList glob{QStringLiteral("*/update.ini*"), QStringLiteral("/t/voxtrel_temp_*/S/#*")};
    EXPECT_TRUE(IoFaultInjector::matches(QStringLiteral("/x/update.ini.lock"), glob));
    EXPECT_TRUE(IoFaultInjector::matches(QStringLiteral("/t/voxtrel_temp_3/S/#12 (deleted)"), glob));
    EXPECT_FALSE(IoFaultInjector::matches(QStringLiteral("/t/voxtrel_temp_3/T/#12 (deleted)"), glob));
    EXPECT_FALSE(IoFaultInjector::matches(QStringLiteral("/x/.update.ini.1.part"), glob));
    EXPECT_FALSE(IoFaultInjector::matches(QStringLiteral("relative/update.ini"), glob));
}
