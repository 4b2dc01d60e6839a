// The user's own temp folder: made with mode 0700 and taken as TMPDIR; anything another user
// could have planted under its name is passed by, and a place others could change is refused.
#include "privatetempdir.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

class PrivateTempDirTest : public QObject {
    Q_OBJECT

    QByteArray m_savedTmp;

private slots:
    void init() { m_savedTmp = qgetenv("TMPDIR"); }
    void cleanup() { qputenv("TMPDIR", m_savedTmp); }

    void setUpIn_data()
    {
        QTest::addColumn<QString>("existing"); // what already stands under the name
        QTest::addColumn<bool>("named"); // true: that folder is taken; false: a new one beside it
        QTest::newRow("nothing yet") << "" << true;
        QTest::newRow("own folder 0700") << "dir700" << true;
        QTest::newRow("own folder 0755, repaired") << "dir755" << true;
        QTest::newRow("own folder 0770, open to others") << "dir770" << false;
        QTest::newRow("link to own folder") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
        QTest::newRow("folder of another user") << "foreign" << false;
    }

    void setUpIn()
    {
        QFETCH(QString, existing);
        QFETCH(bool, named);

        QTemporaryDir base;
        QVERIFY(base.isValid());
        const QString target = base.filePath(PrivateTempDir::folderName());
        const QByteArray native = QFile::encodeName(target);
        const QByteArray before = QFile::encodeName(base.filePath("before"));
        qputenv("TMPDIR", before);

        if (existing.startsWith("dir")) {
            QVERIFY(QDir().mkpath(target));
            QVERIFY(chmod(native.constData(), existing.mid(3).toUInt(nullptr, 8)) == 0);
        } else if (existing == "link") {
            QVERIFY(QDir().mkpath(base.filePath("real")));
            QVERIFY(chmod(QFile::encodeName(base.filePath("real")).constData(), 0700) == 0);
            QVERIFY(QFile::link(base.filePath("real"), target));
        } else if (existing == "file") {
            QFile file(target);
            QVERIFY(file.open(QIODevice::WriteOnly));
        } else if (existing == "foreign") {
            QVERIFY(QDir().mkpath(target));
            QVERIFY(chmod(native.constData(), 0700) == 0);
            if (chown(native.constData(), 65534, 65534) != 0)
                QSKIP("cannot give a folder to another user here");
        }

        QVERIFY(PrivateTempDir::setUpIn(base.path()));
        const QByteArray taken = qgetenv("TMPDIR");
        QVERIFY2(named ? taken == native : taken.startsWith(native + "-"), taken.constData());
        QCOMPARE(QDir::tempPath(), QFile::decodeName(taken));
        struct stat st {};
        QVERIFY(lstat(taken.constData(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid());
        QCOMPARE(int(st.st_mode & 07777), 0700);
        // The folder beside is found again by the next run.
        qputenv("TMPDIR", before);
        QVERIFY(PrivateTempDir::setUpIn(base.path()));
        QCOMPARE(qgetenv("TMPDIR"), taken);
    }

    void setUpWithTmpdir_data()
    {
        QTest::addColumn<QString>("kind");   // what TMPDIR names
        QTest::addColumn<int>("parentMode"); // of the folder holding it
        QTest::addColumn<QString>("result"); // "kept", "inside": voxtrel-<uid> made in it, "refused"
        QTest::newRow("own folder 0700") << "own700" << 0700 << "kept";
        QTest::newRow("own folder 0755") << "own755" << 0700 << "kept";
        QTest::newRow("group-writable") << "own770" << 0700 << "refused";
        QTest::newRow("other-writable, sticky") << "own1777" << 0700 << "inside";
        QTest::newRow("owned by another user") << "foreign" << 0700 << "refused";
        QTest::newRow("link to an own folder") << "link" << 0700 << "inside";
        QTest::newRow("in a shared sticky folder") << "own700" << 01777 << "kept";
        QTest::newRow("in a folder others can write") << "own700" << 0777 << "refused";
        QTest::newRow("in a group-writable folder") << "own700" << 0770 << "refused";
    }

    // Whatever TMPDIR says, the updater ends up in a folder nobody else can write to or
    // replace, or gets none.
    void setUpWithTmpdir()
    {
        QFETCH(QString, kind);
        QFETCH(int, parentMode);
        QFETCH(QString, result);
        const bool kept = result == "kept";
        QTemporaryDir root;
        QVERIFY(root.isValid());
        QVERIFY(chmod(QFile::encodeName(root.path()).constData(), parentMode) == 0);
        QString tmpdir = root.filePath("tmp");
        QVERIFY(QDir().mkpath(tmpdir));
        const QByteArray native = QFile::encodeName(tmpdir);
        if (kind.startsWith("own")) {
            QVERIFY(chmod(native.constData(), kind.mid(3).toUInt(nullptr, 8)) == 0);
        } else if (kind == "foreign") {
            QVERIFY(chmod(native.constData(), 0755) == 0);
            if (geteuid() != 0 || chown(native.constData(), 65534, 65534) != 0)
                QSKIP("cannot give a folder to another user here");
        } else {
            QVERIFY(chmod(native.constData(), 0700) == 0);
            QVERIFY(QFile::link(tmpdir, root.filePath("link")));
            tmpdir = root.filePath("link");
        }
        qputenv("TMPDIR", QFile::encodeName(tmpdir));

        QCOMPARE(PrivateTempDir::setUp(), result != "refused");
        if (result == "refused") {
            QCOMPARE(qgetenv("TMPDIR"), QFile::encodeName(tmpdir));
            QVERIFY(!QFile::exists(tmpdir + "/" + PrivateTempDir::folderName()));
            return;
        }
        // A link is not kept: the folder is made in what it leads to, named by its real path.
        const QString expected = kept ? tmpdir : QFileInfo(tmpdir).canonicalFilePath() + "/" + PrivateTempDir::folderName();
        QCOMPARE(QDir::tempPath(), expected);
        QVERIFY(PrivateTempDir::isOwnFolder(QDir::tempPath()));
        QCOMPARE(QFile::exists(tmpdir + "/" + PrivateTempDir::folderName()), !kept);
    }

    void isPrivateSessionFolder_data()
    {
        QTest::addColumn<QString>("holderMode");
        QTest::addColumn<QString>("folder"); // mode, "foreign" or "link"
        QTest::addColumn<bool>("accepted");
        QTest::newRow("0700 in 0700") << "700" << "700" << true;
        QTest::newRow("0755 in 0755") << "755" << "755" << true;
        QTest::newRow("group-writable folder") << "700" << "770" << false;
        QTest::newRow("other-writable folder") << "700" << "757" << false;
        QTest::newRow("folder of another user") << "700" << "foreign" << false;
        QTest::newRow("link to an own folder") << "700" << "link" << false;
        QTest::newRow("in a group-writable folder") << "770" << "700" << false;
        QTest::newRow("in a shared sticky folder") << "1777" << "700" << false;
    }

    // Only a session folder nobody else could have planted or changed is continued or emptied.
    void isPrivateSessionFolder()
    {
        QFETCH(QString, holderMode);
        QFETCH(QString, folder);
        QFETCH(bool, accepted);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString holder = root.filePath("tmp");
        const QString session = holder + "/voxtrel_temp_0";
        QVERIFY(QDir().mkpath(session));
        QVERIFY(chmod(QFile::encodeName(holder).constData(), holderMode.toUInt(nullptr, 8)) == 0);
        const QByteArray native = QFile::encodeName(session);
        if (folder == "foreign") {
            QVERIFY(chmod(native.constData(), 0700) == 0);
            if (geteuid() != 0 || chown(native.constData(), 65534, 65534) != 0)
                QSKIP("cannot give a folder to another user here");
        } else if (folder == "link") {
            QVERIFY(QDir().rmdir(session));
            QVERIFY(QDir().mkpath(holder + "/real"));
            QVERIFY(QFile::link(holder + "/real", session));
        } else {
            QVERIFY(chmod(native.constData(), folder.toUInt(nullptr, 8)) == 0);
        }
        QCOMPARE(PrivateTempDir::isPrivateSessionFolder(session), accepted);
    }

    void setUpKeepsGivenTmpdir()
    {
        QTemporaryDir base;
        qputenv("TMPDIR", QFile::encodeName(base.path()));
        QVERIFY(PrivateTempDir::setUp());
        QCOMPARE(QDir::tempPath(), base.path());
        QVERIFY(!QFile::exists(base.filePath(PrivateTempDir::folderName())));
    }
};

QTEST_GUILESS_MAIN(PrivateTempDirTest)
#include "privatetempdirtest.moc"
