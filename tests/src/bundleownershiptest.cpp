// The ownership walk of a bundle: the checks before changes walk a tree once per process, the
// check before a program starts walks it every time.

#include "bundleownership.h"
#include "common/clientbundle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

class BundleOwnershipTest : public QObject
{
    Q_OBJECT

    QString tree(const QTemporaryDir& root, const QString& name) const
    {
        const QString top = QFileInfo(root.path()).canonicalFilePath() + "/" + name;
        return ClientBundle::writeFile(top + "/deep/er/file", "content") ? top : QString();
    }

private slots:
    void onceWalksBelowAFolderOnlyOnce()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString top = tree(root, "Contents");
        QVERIFY(!top.isEmpty());
        const QString file = top + "/deep/er/file";
        QVERIFY(BundleOwnership::treeChangeableByOthers(top).isEmpty());

        QVERIFY(chmod(QFile::encodeName(file).constData(), 0666) == 0);
        // Found by the walk before a start ...
        QCOMPARE(BundleOwnership::changeableByOthers(top, true), file);
        // ... while the checks before changes rely on the first walk of the same folder.
        QVERIFY(BundleOwnership::treeChangeableByOthers(top).isEmpty());
        QVERIFY(BundleOwnership::treeChangeableByOthers(top + "/").isEmpty());
        // Only below that folder: the folders above it are looked at every time.
        QVERIFY(chmod(QFile::encodeName(top).constData(), 0777) == 0);
        QCOMPARE(BundleOwnership::treeChangeableByOthers(top), top);
        QVERIFY(chmod(QFile::encodeName(top).constData(), 0755) == 0);
    }

    void aRefusedTreeIsWalkedAgain()
    {
        QTemporaryDir root;
        QVERIFY(root.isValid());
        const QString top = tree(root, "Other");
        QVERIFY(!top.isEmpty());
        const QString folder = top + "/deep/er";
        QVERIFY(chmod(QFile::encodeName(folder).constData(), 0777) == 0);
        QCOMPARE(BundleOwnership::treeChangeableByOthers(top), folder);
        QCOMPARE(BundleOwnership::treeChangeableByOthers(top), folder);
        QVERIFY(chmod(QFile::encodeName(folder).constData(), 0755) == 0);
        QVERIFY(BundleOwnership::treeChangeableByOthers(top).isEmpty());
        // A sibling tree is a tree of its own.
        const QString sibling = tree(root, "Sibling");
        QVERIFY(chmod(QFile::encodeName(sibling + "/deep/er/file").constData(), 0646) == 0);
        QCOMPARE(BundleOwnership::treeChangeableByOthers(sibling), sibling + "/deep/er/file");
    }
};

QTEST_GUILESS_MAIN(BundleOwnershipTest)
#include "bundleownershiptest.moc"
