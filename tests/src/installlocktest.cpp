// The installation's lock: one holder per installation however its path is written or the
// installation is reached (a link, "..", a bind mount), a link under the lock file's name is never
// followed, the file goes with the session's end, and a lock
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
#include <sched.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

namespace {

// What a child of runWithBindMount ends with when it cannot make its mount namespace.
constexpr int kNoNamespace = 77;

// Runs check in a forked child with a mount namespace of its own, in which the folder source is
// seen at target as well (a bind mount that nobody else sees).  Returns the child's status; the
// child's message (why it could not, or what check found) goes to *said.
int runWithBindMount(const QString &source, const QString &target,
    const std::function<QByteArray()> &check, QByteArray *said)
{
    int channel[2];
    if (::pipe(channel) != 0)
        return -1;
    const QByteArray from = QFile::encodeName(source);
    const QByteArray to = QFile::encodeName(target);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(channel[0]);
        auto end = [&](int status, const QByteArray &text) {
            if (!text.isEmpty() && ::write(channel[1], text.constData(), size_t(text.size())) < 0)
                status = 2;
            ::_exit(status);
        };
        auto cannot = [&](const char *step) {
            end(kNoNamespace, QByteArray(step) + QByteArray(": ") + QByteArray(std::strerror(errno)));
        };
        if (::unshare(CLONE_NEWNS) != 0)
            cannot("no mount namespace of its own (unshare)");
        // Nothing mounted here reaches the namespace the test started in.
        if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            cannot("cannot make / private");
        if (::mount(from.constData(), to.constData(), nullptr, MS_BIND, nullptr) != 0)
            cannot("no bind mount");
        const QByteArray found = check();
        end(found.isEmpty() ? 0 : 1, found);
    }
    ::close(channel[1]);
    if (pid < 0) {
        ::close(channel[0]);
        return -1;
    }
    char buffer[512];
    ssize_t got;
    while ((got = ::read(channel[0], buffer, sizeof(buffer))) > 0 || (got < 0 && errno == EINTR))
        said->append(buffer, int(qMax<ssize_t>(got, 0)));
    ::close(channel[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace

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

    // A bind mount of a folder above the installation gives it another path, which neither
    // resolving links nor ".." turns into the first one: still one holder.
    void oneHolderThroughABindMount_data()
    {
        QTest::addColumn<bool>("firstThroughMount");
        QTest::newRow("second through the mount") << false;
        QTest::newRow("first through the mount") << true;
    }

    void oneHolderThroughABindMount()
    {
        QFETCH(bool, firstThroughMount);
        const QString mirror = m_Env->path(QStringLiteral("mirror"));
        QVERIFY(QDir().mkpath(mirror));
        const QString mounted = mirror + QStringLiteral("/Voxtrel 3 Client.app/Contents");
        const QString firstDir = firstThroughMount ? mounted : m_Install;
        const QString secondDir = firstThroughMount ? m_Install : mounted;
        QByteArray said;
        const int status = runWithBindMount(m_Env->path(QStringLiteral("install")), mirror,
            [&]() -> QByteArray {
                if (!QFileInfo(mounted).isDir())
                    return "the installation is not seen through the mount";
                InstallLock first;
                if (first.acquire(firstDir) != InstallLock::Acquired)
                    return "the first updater did not get the lock";
                InstallLock second;
                const InstallLock::Result result = second.acquire(secondDir);
                if (result != InstallLock::Busy)
                    return "the second updater was not held off: " + QByteArray::number(int(result))
                        + ", lock files " + QFile::encodeName(InstallLock::lockPath(firstDir)) + " and "
                        + QFile::encodeName(InstallLock::lockPath(secondDir));
                first.release();
                if (second.retry() != InstallLock::Acquired)
                    return "the second updater did not get the lock once the first let go";
                return QByteArray();
            },
            &said);
        if (status == kNoNamespace)
            QSKIP(qPrintable(QStringLiteral("needs a private mount namespace (root): ")
                + QString::fromLocal8Bit(said)));
        QVERIFY2(status == 0, said.constData());
    }

    // An installation reached only through a link that someone else made, or not at all, is not
    // locked (nor updated: every folder of it is reached the same way).
    void unreachableInstallationIsNotLocked_data()
    {
        QTest::addColumn<QString>("path"); // relative to the scenario root
        QTest::addColumn<bool>("othersLink"); // the link "alias" belongs to another user
        QTest::newRow("missing") << "install/Voxtrel 3 Client.app/Nothing" << false;
        QTest::newRow("through another user's link") << "alias/Voxtrel 3 Client.app/Contents" << true;
    }

    void unreachableInstallationIsNotLocked()
    {
        QFETCH(QString, path);
        QFETCH(bool, othersLink);
        if (othersLink
            && ::lchown(QFile::encodeName(m_Env->path(QStringLiteral("alias"))).constData(), 4321, 4321) != 0)
            QSKIP("only root can give a link to another user");
        QVERIFY(InstallLock::lockPath(m_Env->path(path)).isEmpty());
        InstallLock lock;
        QCOMPARE(lock.acquire(m_Env->path(path)), InstallLock::Failed);
        QCOMPARE(lock.retry(), InstallLock::Failed);
        QCOMPARE(QDir(m_Env->tmp()).entryList(QDir::Files | QDir::Hidden), QStringList());
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
