// The user's own temp folder: made with mode 0700 and taken as TMPDIR; anything another user
// could have planted under its name is passed by, and a place others could replace is refused.
#include "privatetempdir.h"

#include "common/treesnapshot.h"

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
        QTest::addColumn<QString>("taken");    // "named": voxtrel-<uid>; "fresh": a new one beside it;
                                               // "earlier": the one made beside it before
        QTest::newRow("nothing yet") << "" << "named";
        QTest::newRow("own folder 0700") << "dir700" << "named";
        QTest::newRow("own folder 0755: repaired") << "dir755" << "named";
        QTest::newRow("own folder 0500: repaired") << "dir500" << "named";
        QTest::newRow("own folder others could write") << "dir770" << "fresh";
        QTest::newRow("link to own folder") << "link" << "fresh";
        QTest::newRow("plain file") << "file" << "fresh";
        QTest::newRow("folder of another user") << "foreign" << "fresh";
        QTest::newRow("another user's, earlier one beside it") << "foreign+earlier" << "earlier";
    }

    // The user always gets a folder of their own: the named one when it is theirs, whatever its
    // mode, otherwise one beside it; nothing that stands under the name is changed.
    void setUpIn()
    {
        QFETCH(QString, existing);
        QFETCH(QString, taken);

        QTemporaryDir base;
        QVERIFY(base.isValid());
        const QString target = base.filePath(PrivateTempDir::folderName());
        const QByteArray native = QFile::encodeName(target);
        qputenv("TMPDIR", QFile::encodeName(base.filePath("before")));

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
        } else if (existing.startsWith("foreign")) {
            QVERIFY(QDir().mkpath(target));
            QVERIFY(chmod(native.constData(), 0700) == 0);
            if (chown(native.constData(), 65534, 65534) != 0)
                QSKIP("cannot give a folder to another user here");
        }
        const QString earlier = target + "-Ab12Cd";
        if (existing.endsWith("+earlier")) {
            QVERIFY(QDir().mkpath(earlier));
            QVERIFY(chmod(QFile::encodeName(earlier).constData(), 0700) == 0);
        }
        const TreeSnapshot before = TreeSnapshot::take(base.path());

        QVERIFY(PrivateTempDir::setUpIn(base.path()));
        const QString got = QFile::decodeName(qgetenv("TMPDIR"));
        QCOMPARE(QDir::tempPath(), got);
        QCOMPARE(QFileInfo(got).path(), base.path());
        struct stat st {};
        QVERIFY(lstat(QFile::encodeName(got).constData(), &st) == 0);
        QVERIFY(S_ISDIR(st.st_mode));
        QCOMPARE(st.st_uid, geteuid());
        QCOMPARE(int(st.st_mode & 07777), 0700);
        if (taken == "named") {
            QCOMPARE(got, target);
            return;
        }
        if (taken == "earlier")
            QCOMPARE(got, earlier);
        else
            QVERIFY2(QFileInfo(got).fileName().startsWith(PrivateTempDir::folderName() + "-"), qPrintable(got));
        // What held the name is as it was; the only change is the folder taken beside it.
        QStringList changes = before.differences(TreeSnapshot::take(base.path()));
        if (taken == "fresh")
            QCOMPARE(changes.size(), 1);
        QVERIFY2(changes.isEmpty() || changes.first().startsWith(QFileInfo(got).fileName()), qPrintable(changes.join('\n')));
    }

    void setUpWithTmpdir_data()
    {
        QTest::addColumn<QString>("parent"); // the folder holding TMPDIR: a mode or "foreign"
        QTest::addColumn<QString>("kind");   // what TMPDIR names
        QTest::addColumn<QString>("result"); // "kept"; "inside": voxtrel-<uid> in it; "refused"
        QTest::newRow("own folder 0700") << "700" << "own700" << "kept";
        QTest::newRow("own folder 0755") << "700" << "own755" << "kept";
        QTest::newRow("group-writable") << "700" << "own770" << "refused";
        QTest::newRow("other-writable, sticky") << "700" << "own1777" << "inside";
        QTest::newRow("owned by another user") << "700" << "foreign" << "refused";
        QTest::newRow("link to an own folder") << "700" << "link" << "inside";
        QTest::newRow("missing") << "700" << "missing" << "refused";
        QTest::newRow("plain file") << "700" << "file" << "refused";
        QTest::newRow("in a shared sticky folder") << "1777" << "own700" << "kept";
        QTest::newRow("in a folder others can write") << "777" << "own700" << "refused";
        QTest::newRow("in a group-writable folder") << "770" << "own700" << "refused";
        QTest::newRow("in another user's folder") << "foreign" << "own700" << "refused";
    }

    // Whatever TMPDIR says, the updater ends up in a folder nobody else can write to or
    // replace, or gets none at all.
    void setUpWithTmpdir()
    {
        QFETCH(QString, parent);
        QFETCH(QString, kind);
        QFETCH(QString, result);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString holder = root.filePath("shared");
        QString tmpdir = holder + "/tmp";
        QVERIFY(QDir().mkpath(tmpdir));
        const QByteArray native = QFile::encodeName(tmpdir);
        if (kind.startsWith("own")) {
            QVERIFY(chmod(native.constData(), kind.mid(3).toUInt(nullptr, 8)) == 0);
        } else if (kind == "foreign") {
            QVERIFY(chmod(native.constData(), 0755) == 0);
            if (geteuid() != 0 || chown(native.constData(), 65534, 65534) != 0)
                QSKIP("cannot give a folder to another user here");
        } else if (kind == "link") {
            QVERIFY(chmod(native.constData(), 0700) == 0);
            QVERIFY(QFile::link(tmpdir, holder + "/link"));
            tmpdir = holder + "/link";
        } else if (kind == "missing") {
            QVERIFY(QDir().rmdir(tmpdir));
        } else {
            QVERIFY(QDir().rmdir(tmpdir));
            QFile file(tmpdir);
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        const QByteArray holderNative = QFile::encodeName(holder);
        if (parent == "foreign") {
            QVERIFY(chmod(holderNative.constData(), 0755) == 0);
            if (geteuid() != 0 || chown(holderNative.constData(), 65534, 65534) != 0)
                QSKIP("cannot give a folder to another user here");
        } else {
            QVERIFY(chmod(holderNative.constData(), parent.toUInt(nullptr, 8)) == 0);
        }
        qputenv("TMPDIR", QFile::encodeName(tmpdir));
        const TreeSnapshot before = TreeSnapshot::take(root.path());

        QCOMPARE(PrivateTempDir::setUp(), result != "refused");
        if (result == "refused") {
            QCOMPARE(qgetenv("TMPDIR"), QFile::encodeName(tmpdir));
            QCOMPARE(before.differences(TreeSnapshot::take(root.path())), QStringList());
            return;
        }
        // A link is not kept: the folder is made in what it leads to, named by its real path.
        const QString expected = result == "kept" ? tmpdir
                                                  : QFileInfo(tmpdir).canonicalFilePath() + "/" + PrivateTempDir::folderName();
        QCOMPARE(QDir::tempPath(), expected);
        QVERIFY(PrivateTempDir::isOwnFolder(QDir::tempPath()));
        QCOMPARE(QFile::exists(tmpdir + "/" + PrivateTempDir::folderName()), result == "inside");
    }

    void isSafePlace_data()
    {
        QTest::addColumn<QString>("modes"); // of three nested folders below the test's root
        QTest::addColumn<bool>("safe");
        QTest::newRow("private folders") << "700 755 700" << true;
        QTest::newRow("sticky shared folder on the way") << "755 1777 700" << true;
        QTest::newRow("others can write on the way") << "755 777 700" << false;
        QTest::newRow("group can write on the way") << "775 755 700" << false;
        QTest::newRow("the folder itself shared, no sticky bit") << "755 755 777" << false;
        QTest::newRow("another user's folder on the way") << "755 foreign 700" << false;
    }

    // Only a place that no other user can rename away or swap is one.
    void isSafePlace()
    {
        QFETCH(QString, modes);
        QFETCH(bool, safe);
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString canonicalRoot = QFileInfo(root.path()).canonicalFilePath();
        QVERIFY(PrivateTempDir::isSafePlace(canonicalRoot));
        QString path = canonicalRoot;
        for (const QString &mode : modes.split(' ')) {
            path += "/d";
            QVERIFY(QDir().mkdir(path));
            const QByteArray native = QFile::encodeName(path);
            if (mode == "foreign") {
                QVERIFY(chmod(native.constData(), 0755) == 0);
                if (geteuid() != 0 || chown(native.constData(), 65534, 65534) != 0)
                    QSKIP("cannot give a folder to another user here");
            } else {
                QVERIFY(chmod(native.constData(), mode.toUInt(nullptr, 8)) == 0);
            }
        }
        QCOMPARE(PrivateTempDir::isSafePlace(path), safe);
        QVERIFY(!PrivateTempDir::isSafePlace("relative/path"));
        QVERIFY(!PrivateTempDir::isSafePlace(path + "/missing"));
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
