// A temp folder shared with another local user (TMPDIR=/tmp and the like).  The other user, a
// child process running as "nobody", plants a session folder under the first name the updater
// would use: a session record naming the victim's bundle, an `update` of its own that leaves a
// marker when it runs, and a link under the name of the product list's download that leads to a
// file of the victim's; a link also stands under the name of the arguments file.  The victim then
// runs the real updater on its bundle with that TMPDIR.  Nothing planted may run, no file outside
// the victim's own folders may change, and the update completes: the bundle ends as N+1.

#include "common/clientbundle.h"
#include "common/otheruser.h"
#include "common/updatescenario.h"

#include "banner.h"
#include "privatetempdir.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace
{
const int kOldVersion = 11;

bool writeAs(const QByteArray& path, const QByteArray& content, mode_t mode)
{
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    if (fd < 0)
        return false;
    const bool ok = ::write(fd, content.constData(), size_t(content.size())) == content.size();
    return ::close(fd) == 0 && ok;
}

struct Plant
{
    QByteArray session;     // the planted session folder
    QByteArray record;      // its SharedSupport/update.ini
    QByteArray program;     // its SharedSupport/update.app/Contents/MacOS/update
    QByteArray listLink;    // the product list's download name inside it
    QByteArray argsLink;    // the arguments file's name in the shared folder
    QByteArray victimFile;  // where both links lead
};

// Runs in the forked child as the other user: plain system calls only.
bool plantAsOtherUser(const Plant& p, const QByteArray& record, const QByteArray& program)
{
    const QByteArray shared = p.session + "/SharedSupport";
    const QByteArray macos = shared + "/update.app/Contents/MacOS";
    if (::mkdir(p.session.constData(), 0777) != 0 || ::chmod(p.session.constData(), 0777) != 0)
        return false;
    for (const QByteArray& dir : {shared, shared + "/update.app", shared + "/update.app/Contents", macos}) {
        if (::mkdir(dir.constData(), 0777) != 0)
            return false;
    }
    return writeAs(p.record, record, 0666) && writeAs(p.program, program, 0755)
        && ::symlink(p.victimFile.constData(), p.listLink.constData()) == 0
        && ::symlink(p.victimFile.constData(), p.argsLink.constData()) == 0;
}
} // namespace

class SharedTmpdirTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    UpdateRelease m_Release;

private slots:
    void initTestCase()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
        QString error;
        QVERIFY2(m_Release.build(m_Dir->filePath("release"), QStringLiteral(VX_UPDATE_BINARY), kOldVersion, &error),
                 qPrintable(error));
    }

    void plantedSessionNeverRuns()
    {
        if (geteuid() != 0)
            QSKIP("planting as another user needs root to switch to another uid");
        // The other user must reach the shared folder.
        QVERIFY(::chmod(QFile::encodeName(m_Dir->path()).constData(), 0755) == 0);
        UpdateImageServer server(m_Release.servedRoot());
        UpdateScenario scenario(m_Release, m_Dir->filePath("victim"));
        QString error;
        QVERIFY2(scenario.setUp(server.baseUrl(), &error), qPrintable(error));
        const QByteArray shared = QFile::encodeName(scenario.tmp());
        QVERIFY(::chmod(QFile::encodeName(scenario.root()).constData(), 0755) == 0);
        QVERIFY(::chmod(shared.constData(), 01777) == 0);

        const QString victimFile = scenario.root() + "/home/notes.txt";
        QVERIFY(ClientBundle::writeFile(victimFile, "the victim's own notes"));
        const QString marker = scenario.root() + "/planted-update-ran";
        Plant p;
        p.session = shared + "/voxtrel_temp_0";
        p.record = p.session + "/SharedSupport/update.ini";
        p.program = p.session + "/SharedSupport/update.app/Contents/MacOS/update";
        p.listLink = p.session + "/update_macosx.ini._lzma2_";
        p.argsLink = shared + "/vx3clientupdateargs";
        p.victimFile = QFile::encodeName(victimFile);
        const QByteArray record = QStringLiteral("[current]\ndir=%1\ntype=client_macosx\nversion=%2\nvx3dir=%3\n")
                                      .arg(QString::fromUtf8(p.session))
                                      .arg(m_Release.newVersion())
                                      .arg(scenario.contents())
                                      .toUtf8();
        const QByteArray program = "#!/bin/sh\necho ran > '" + QFile::encodeName(marker) + "'\n";

        QVERIFY2(OtherUser::run([&] { return plantAsOtherUser(p, record, program) ? 0 : 1; }) == 0,
                 "the other user could not plant its session");

        // The victim's private folder gets the banner cache, so that no banner service is asked.
        const QString own = scenario.tmp() + "/" + PrivateTempDir::folderName();
        QVERIFY(::mkdir(QFile::encodeName(own).constData(), 0700) == 0);
        qputenv("TMPDIR", QFile::encodeName(own));
        QVERIFY(Banner::writeCache("cached banner", QStringLiteral("https://example.invalid/")));

        QProcess updater;
        QVERIFY2(scenario.startProgram(&updater, false, &error), qPrintable(error));
        // The updater step hands over to the client step, which runs detached and ends by
        // starting the client: wait for that start and for every updater to be gone (the bundle
        // must outlive them, or the last start would fail for want of it).
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 120000 && !QFileInfo::exists(marker)
               && (scenario.clientStarts() == 0 || updater.state() != QProcess::NotRunning
                   || !scenario.updaterProcesses().isEmpty())) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(20);
        }
        updater.waitForFinished(10000);
        const QStringList left = scenario.endLeftoverUpdaters();
        QVERIFY2(left.isEmpty(), qPrintable("updaters still running: " + left.join("; ")));
        QCOMPARE(scenario.clientStarts(), 1);
        const QStringList differences = scenario.differencesFrom(m_Release.newTree(), true);
        const QStringList sessions = QDir(own).entryList({"voxtrel_temp_*"}, QDir::Dirs | QDir::NoDotAndDotDot);
        QVERIFY2(!QFileInfo::exists(marker), "the planted updater was run");
        QCOMPARE(ClientBundle::readFile(victimFile), QByteArray("the victim's own notes"));
        QVERIFY(QFileInfo(QString::fromUtf8(p.argsLink)).isSymLink());
        QCOMPARE(ClientBundle::readFile(QString::fromUtf8(p.program)), program);
        QCOMPARE(updater.exitCode(), 0);
        QVERIFY2(differences.isEmpty(), qPrintable(differences.join('\n')));
        QVERIFY2(sessions.isEmpty(), qPrintable(sessions.join('\n')));
    }
};

QTEST_MAIN(SharedTmpdirTest)
#include "sharedtmpdirtest.moc"
