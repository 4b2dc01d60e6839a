// The user's own temp folder: made with mode 0700 and taken as TMPDIR; anything another user
// could have planted under its name is refused.
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
        QTest::addColumn<bool>("accepted");
        QTest::newRow("nothing yet") << "" << true;
        QTest::newRow("own folder 0700") << "dir700" << true;
        QTest::newRow("folder 0755") << "dir755" << false;
        QTest::newRow("folder 0770") << "dir770" << false;
        QTest::newRow("link to own folder") << "link" << false;
        QTest::newRow("plain file") << "file" << false;
        QTest::newRow("folder of another user") << "foreign" << false;
    }

    void setUpIn()
    {
        QFETCH(QString, existing);
        QFETCH(bool, accepted);

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

        QCOMPARE(PrivateTempDir::setUpIn(base.path()), accepted);
        if (accepted) {
            QCOMPARE(qgetenv("TMPDIR"), native);
            QCOMPARE(QDir::tempPath(), target);
            struct stat st {};
            QVERIFY(lstat(native.constData(), &st) == 0);
            QCOMPARE(int(st.st_mode & 07777), 0700);
        } else {
            QCOMPARE(qgetenv("TMPDIR"), before);
        }
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
