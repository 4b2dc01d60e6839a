// The installation's lock: one holder per installation however its path is written, a link
// under the lock file's name is never followed, the file goes with the session's end, and a lock
// lent to the next program stays taken after this one lets go.
#include "installlock.h"

#include "common/clientbundle.h"
#include "common/tempenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

class InstallLockTest : public QObject {
    Q_OBJECT

    std::unique_ptr<TempEnvironment> m_Env;
    QString m_Install; // a client bundle's Contents folder

private slots:
    void init()
    {
        m_Env = std::make_unique<TempEnvironment>();
        QVERIFY(m_Env->isValid());
        ClientBundle bundle(m_Env->path(QStringLiteral("install")));
        QVERIFY(bundle.isValid());
        m_Install = bundle.contentsDir();
        QVERIFY(QDir().mkpath(m_Env->path(QStringLiteral("other/Contents"))));
        QVERIFY(QFile::link(m_Env->path(QStringLiteral("install")), m_Env->path(QStringLiteral("alias"))));
    }

    void oneHolderPerInstallation_data()
    {
        QTest::addColumn<QString>("second"); // relative to the scenario root
        QTest::addColumn<int>("expected");
        const QString contents = QStringLiteral("install/Voxtrel 3 Client.app/Contents");
        QTest::newRow("same path") << contents << int(InstallLock::Busy);
        QTest::newRow("with a trailing ../Contents") << contents + "/../Contents/" << int(InstallLock::Busy);
        QTest::newRow("through a link") << "alias/Voxtrel 3 Client.app/Contents" << int(InstallLock::Busy);
        QTest::newRow("another installation") << "other/Contents" << int(InstallLock::Acquired);
    }

    void oneHolderPerInstallation()
    {
        QFETCH(QString, second);
        QFETCH(int, expected);
        InstallLock first;
        QCOMPARE(first.acquire(m_Install), InstallLock::Acquired);
        QCOMPARE(first.acquire(m_Install), InstallLock::Acquired); // held already
        InstallLock other;
        QCOMPARE(int(other.acquire(m_Env->path(second))), expected);
        if (expected != InstallLock::Busy)
            return;
        QCOMPARE(other.retry(), InstallLock::Busy);
        first.release();
        QCOMPARE(other.retry(), InstallLock::Acquired);
        // The first one's file went with its session: the waiter holds a file under the name.
        QVERIFY(QFileInfo(InstallLock::lockPath(m_Install)).isFile());
        InstallLock third;
        QCOMPARE(third.acquire(m_Install), InstallLock::Busy);
    }

    void linkUnderTheNameIsNotFollowed()
    {
        const QString target = m_Env->path(QStringLiteral("elsewhere"));
        QVERIFY(ClientBundle::writeFile(target, "not a lock"));
        QVERIFY(QFile::link(target, InstallLock::lockPath(m_Install)));
        InstallLock lock;
        QCOMPARE(lock.acquire(m_Install), InstallLock::Failed);
        lock.release();
        QCOMPARE(ClientBundle::readFile(target), QByteArray("not a lock"));
        QVERIFY(QFileInfo(InstallLock::lockPath(m_Install)).isSymLink());
    }

    void fileGoesWithTheSession()
    {
        {
            InstallLock lock;
            QCOMPARE(lock.acquire(m_Install), InstallLock::Acquired);
            QVERIFY(QFileInfo::exists(InstallLock::lockPath(m_Install)));
        }
        QVERIFY(!QFileInfo::exists(InstallLock::lockPath(m_Install)));
    }

    // The lock reaches the started program and stays taken after this one lets go, until that
    // program ends; a program started afterwards gets none.
    void lentLockOutlivesTheLender()
    {
        InstallLock lock;
        QCOMPARE(lock.acquire(m_Install), InstallLock::Acquired);
        lock.lendToNextProgram();
        QProcess next;
        next.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(next.waitForStarted(5000));
        lock.endLending(true);
        QProcess later;
        later.start(QStringLiteral("/bin/sleep"), {QStringLiteral("30")});
        QVERIFY(later.waitForStarted(5000));
        lock.release();
        QVERIFY(QFileInfo::exists(InstallLock::lockPath(m_Install)));

        InstallLock second;
        QCOMPARE(second.acquire(m_Install), InstallLock::Busy);
        next.kill();
        QVERIFY(next.waitForFinished(5000));
        QCOMPARE(second.retry(), InstallLock::Acquired);
        later.kill();
        later.waitForFinished(5000);
    }

    void handedOverDescriptorIsCheckedBeforeUse_data()
    {
        QTest::addColumn<bool>("lockFile"); // the variable names the lock file, or another file
        QTest::addColumn<int>("expected");
        QTest::newRow("the session's lock") << true << int(InstallLock::Acquired);
        QTest::newRow("another file of the user's") << false << int(InstallLock::Busy);
    }

    void handedOverDescriptorIsCheckedBeforeUse()
    {
        QFETCH(bool, lockFile);
        QFETCH(int, expected);
        InstallLock holder;
        QCOMPARE(holder.acquire(m_Install), InstallLock::Acquired);
        // What the next program finds: a copy of the lender's descriptor (the same open file),
        // or a descriptor of some other file of the user's.
        holder.lendToNextProgram();
        const int lent = qEnvironmentVariableIntValue(InstallLock::environmentVariable());
        QVERIFY(lent > STDERR_FILENO);
        const QString decoy = m_Env->path(QStringLiteral("decoy"));
        QVERIFY(ClientBundle::writeFile(decoy, "x"));
        const int fd = lockFile ? ::dup(lent) : ::open(QFile::encodeName(decoy).constData(), O_RDONLY);
        QVERIFY(fd > STDERR_FILENO);
        qputenv(InstallLock::environmentVariable(), QByteArray::number(fd));
        InstallLock::takeHandedOver();
        holder.endLending(true);
        QVERIFY(!qEnvironmentVariableIsSet(InstallLock::environmentVariable()));
        QCOMPARE(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        InstallLock next;
        QCOMPARE(int(next.acquire(m_Install)), expected);
    }
};

QTEST_GUILESS_MAIN(InstallLockTest)
#include "installlocktest.moc"
