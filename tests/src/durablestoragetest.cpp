// The durable-storage calls on real folders: what syncEntries syncs for few and for many entries,
// and that every refused sync is reported.
#include "durablestorage.h"

#include "common/clientbundle.h"
#include "common/storageprobe.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>

class DurableStorageTest : public QObject
{
    Q_OBJECT

private slots:
    void syncEntries_data()
    {
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("refused"); // a call made to fail, -1: none
        QTest::addColumn<bool>("synced");
        const int many = DurableStorage::kEntriesForFileSystemSync;
        QTest::newRow("few") << 5 << -1 << true;
        QTest::newRow("few, an entry refused") << 5 << int(DurableStorage::SyncEntry) << false;
        QTest::newRow("few, a folder refused") << 5 << int(DurableStorage::SyncFolder) << false;
        QTest::newRow("many") << many << -1 << true;
        QTest::newRow("many, the file system refused") << many << int(DurableStorage::SyncFileSystem) << false;
    }

    // Few entries: each entry, then its folder (each folder once).  Many: the one file system
    // once, nothing else.  Names that are gone, and links, need no sync of their own.
    void syncEntries()
    {
        QFETCH(int, files);
        QFETCH(int, refused);
        QFETCH(bool, synced);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        QStringList paths;
        for (int i = 0; i < files; ++i) {
            paths << dir.filePath(QString("f%1/file%2").arg(i % 3).arg(i));
            QVERIFY(ClientBundle::writeFile(paths.last(), "x"));
        }
        QVERIFY(QFile::link(paths.first(), dir.filePath("f0/link")));
        paths << dir.filePath("f0/link") << dir.filePath("f1/gone") << paths.first();
        StorageProbe probe;
        if (refused >= 0)
            probe.failOn(DurableStorage::Call(refused), [](const QByteArray&) { return true; }, 1, EIO, false);
        QCOMPARE(DurableStorage::syncEntries(paths), synced);
        if (!synced)
            return;
        QList<DurableStorage::Call> calls;
        for (const StorageProbe::Event& e : probe.events())
            calls << e.call;
        const bool many = files >= DurableStorage::kEntriesForFileSystemSync;
        QCOMPARE(calls.count(DurableStorage::SyncEntry), many ? 0 : files);
        QCOMPARE(calls.count(DurableStorage::SyncFolder), many ? 0 : 3);
        QCOMPARE(calls.count(DurableStorage::SyncFileSystem), many ? 1 : 0);
        if (!many) {
            // Each folder after its entries.
            const int folder = probe.firstOf(DurableStorage::SyncFolder, [](const QByteArray& n) { return n == "f0"; });
            QVERIFY(probe.lastOf(DurableStorage::SyncEntry, [](const QByteArray& n) { return n == "file0"; }) < folder);
        }
    }

    void syncDataAt()
    {
        QTemporaryDir dir;
        QVERIFY(ClientBundle::writeFile(dir.filePath("file"), "data"));
        StorageProbe probe;
        QVERIFY(DurableStorage::syncDataAt(dir.filePath("file")));
        QVERIFY(!DurableStorage::syncDataAt(dir.filePath("missing")));
        QVERIFY(DurableStorage::syncDataAt(dir.path())); // no data of its own
        probe.failOn(DurableStorage::SyncData, [](const QByteArray& n) { return n == "file"; }, 1, EIO, false);
        QVERIFY(!DurableStorage::syncDataAt(dir.filePath("file")));
        QCOMPARE(probe.failures(), 1);
    }
};

QTEST_GUILESS_MAIN(DurableStorageTest)
#include "durablestoragetest.moc"
