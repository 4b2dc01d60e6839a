// Files of fixed names in the temp and session folders are written as fresh files: a link
// planted under such a name is replaced, and what it leads to stays as it was.
#include "banner.h"
#include "configuration.h"
#include "nofollowfile.h"

#include "common/clientbundle.h"
#include "common/tempenvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Writer {
    QString path;                 // the fixed name
    QByteArray content;           // what it holds afterwards
    std::function<bool()> write;
};

Writer writerFor(const QString &name, const QString &source)
{
    if (name == "arguments file")
        return {Configuration::argsFilePath(), "--clientupdate\nclient_macosx\n43\n#\n",
                [] { return Configuration::writeArgsFile({"--clientupdate", "client_macosx", "43", "#"}); }};
    if (name == "banner image")
        return {Banner::cacheImagePath(), "jpeg bytes",
                [] { return Banner::writeCache("jpeg bytes", "https://example.invalid/a b"); }};
    if (name == "banner link")
        return {Banner::cacheLinkPath(), "https%3A%2F%2Fexample.invalid%2Fa%20b",
                [] { return Banner::writeCache("jpeg bytes", "https://example.invalid/a b"); }};
    const QString destination = QDir::tempPath() + "/voxtrel_temp_0/update";
    return {destination, "fresh updater", [=] { return NoFollowFile::copyFresh(source, destination); }};
}

} // namespace

class NoFollowFileTest : public QObject {
    Q_OBJECT

private slots:
    // A link on the way to a folder is followed only when it and the folder holding it belong
    // to the user running the updater or to root.
    void linksOnTheWay_data()
    {
        QTest::addColumn<uint>("linkOwner");
        QTest::addColumn<uint>("folderOwner");
        QTest::addColumn<bool>("followed");
        const uint self = geteuid();
        QTest::newRow("own link in own folder") << self << self << true;
        QTest::newRow("root's link in root's folder") << 0u << 0u << true;
        QTest::newRow("another user's link in own folder") << 65534u << self << false;
        QTest::newRow("own link in another user's folder") << self << 65534u << false;
    }

    void linksOnTheWay()
    {
        QFETCH(uint, linkOwner);
        QFETCH(uint, folderOwner);
        QFETCH(bool, followed);
        if (getuid() != 0 && (linkOwner != geteuid() || folderOwner != geteuid()))
            QSKIP("only root can give links and folders to another user");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QDir().mkpath(dir.filePath("target/inner")));
        QVERIFY(QDir().mkpath(dir.filePath("holder")));
        QVERIFY(QFile::link("../target", dir.filePath("holder/link")));
        QVERIFY(lchown(QFile::encodeName(dir.filePath("holder/link")).constData(), linkOwner, linkOwner) == 0);
        QVERIFY(chown(QFile::encodeName(dir.filePath("holder")).constData(), folderOwner, folderOwner) == 0);
        const int fd = NoFollowFile::openFolder(dir.filePath("holder/link/inner"));
        if (fd >= 0)
            close(fd);
        QCOMPARE(fd >= 0, followed);
        QCOMPARE(NoFollowFile::makeFolder(dir.filePath("holder/link/inner/made")), followed);
        QCOMPARE(QFileInfo(dir.filePath("target/inner/made")).isDir(), followed);
    }

    // Links that lead to themselves end the walk.
    void linkLoop()
    {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QVERIFY(QFile::link("b", dir.filePath("a")));
        QVERIFY(QFile::link("a", dir.filePath("b")));
        QCOMPARE(NoFollowFile::openFolder(dir.filePath("a/x")), -1);
        QVERIFY(!NoFollowFile::makeFolder(dir.filePath("a/x")));
    }

    void plantedLinks_data()
    {
        QTest::addColumn<QString>("writer");
        QTest::addColumn<bool>("dangling"); // the link leads nowhere yet
        for (const char *writer : {"arguments file", "banner image", "banner link", "session copy"}) {
            QTest::newRow(qPrintable(QString("%1, link to a file").arg(writer))) << writer << false;
            QTest::newRow(qPrintable(QString("%1, dangling link").arg(writer))) << writer << true;
        }
    }

    void plantedLinks()
    {
        QFETCH(QString, writer);
        QFETCH(bool, dangling);
        TempEnvironment env;
        QVERIFY(env.isValid());
        const QString source = env.path("source");
        QVERIFY(ClientBundle::writeFile(source, "fresh updater"));
        QVERIFY(QDir().mkpath(env.tmp() + "/voxtrel_temp_0"));
        const Writer w = writerFor(writer, source);
        const QString victim = env.path("home/victim");
        if (!dangling)
            QVERIFY(ClientBundle::writeFile(victim, "the user's own file"));
        QVERIFY(QFile::link(victim, w.path));

        QVERIFY(w.write());
        QVERIFY(!QFileInfo(w.path).isSymLink());
        QCOMPARE(ClientBundle::readFile(w.path), w.content);
        if (dangling)
            QVERIFY(!QFileInfo::exists(victim));
        else
            QCOMPARE(ClientBundle::readFile(victim), QByteArray("the user's own file"));
        // Nothing of the writing is left beside the file.
        QCOMPARE(QDir(QFileInfo(w.path).path()).entryList(QDir::Files | QDir::Hidden).filter(".part"), QStringList());
    }

    void copyKeepsTheSourceMode_data()
    {
        QTest::addColumn<int>("mode");
        QTest::newRow("executable") << 0755;
        QTest::newRow("owner only") << 0700;
        QTest::newRow("read-only") << 0444;
    }

    void copyKeepsTheSourceMode()
    {
        QFETCH(int, mode);
        TempEnvironment env;
        QVERIFY(env.isValid());
        const QString source = env.path("source");
        const QString destination = env.tmp() + "/copy";
        QVERIFY(ClientBundle::writeFile(source, QByteArray(200000, 'u')));
        QVERIFY(ClientBundle::writeFile(destination, "old"));
        QVERIFY(chmod(QFile::encodeName(source).constData(), mode_t(mode)) == 0);
        QVERIFY(NoFollowFile::copyFresh(source, destination));
        QCOMPARE(ClientBundle::readFile(destination), QByteArray(200000, 'u'));
        struct stat st {};
        QVERIFY(stat(QFile::encodeName(destination).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 07777), mode);
    }

    void copyFailures()
    {
        TempEnvironment env;
        QVERIFY(env.isValid());
        QVERIFY(ClientBundle::writeFile(env.path("source"), "x"));
        QVERIFY(!NoFollowFile::copyFresh(env.path("missing"), env.tmp() + "/a"));
        QVERIFY(!NoFollowFile::copyFresh(env.tmp(), env.tmp() + "/b")); // a folder is no file
        QVERIFY(!NoFollowFile::copyFresh(env.path("source"), env.tmp() + "/no/such/folder/c"));
        QCOMPARE(QDir(env.tmp()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    }
};

QTEST_GUILESS_MAIN(NoFollowFileTest)
#include "nofollowfiletest.moc"
