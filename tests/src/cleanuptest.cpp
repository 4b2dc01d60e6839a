// Start-up clean-up of what earlier installations left beside the updater, on a temporary tree.
#include "updateengine.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void touch(const QString &path)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    QVERIFY2(f.open(QIODevice::WriteOnly), qPrintable(path));
    f.write("x");
}

bool present(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

class CleanupTest : public QObject {
    Q_OBJECT
private slots:
    void removeOldFiles_data()
    {
        QTest::addColumn<bool>("trailingSlash");
        QTest::newRow("dir with /") << true;
        QTest::newRow("dir without /") << false;
    }

    void removeOldFiles()
    {
        QFETCH(bool, trailingSlash);
        QTemporaryDir root;
        const QString dir = root.path() + "/SharedSupport";
        const QStringList removed{"_old_update", "_old_libQtCore.so.4", "_old_libQtGui.so.4", "_old_libQtNetwork.so.4",
                                  "_old_libQtSql.so.4", "_old_libQt5Core.so.5", "_old_libQt5Gui.so.5",
                                  "_old_libQt5Network.so.5", "_old_libQt5Sql.so.5", "_old_libqgif.so",
                                  "_old_libqjpeg.so", "_old_libqtaccessiblewidgets.so", "_old_libsqlite.so"};
        const QStringList kept{"update", "libqgif.so", "_old_other", "_old_libQt5Widgets.so.5", "old_update", "_OLD_update"};
        for (const QString &name : removed + kept)
            touch(dir + "/" + name);
        touch(dir + "/old/_old_libqjpeg.so");

        UpdateEngine::removeOldFiles(trailingSlash ? dir + "/" : dir);
        for (const QString &name : removed)
            QVERIFY2(!present(dir + "/" + name), qPrintable(name));
        for (const QString &name : kept)
            QVERIFY2(present(dir + "/" + name), qPrintable(name));
        QVERIFY(present(dir + "/old/_old_libqjpeg.so")); // sub-folders need their own call

        // As the start-up calls it for a sub-folder: the appended part lands inside it.
        UpdateEngine::removeOldFiles(dir + "/" + "/old");
        QVERIFY(!present(dir + "/old/_old_libqjpeg.so"));
        UpdateEngine::removeOldFiles(root.path() + "/missing/"); // passed over
    }

    void removeQt4Files()
    {
        QTemporaryDir root;
        const QString contents = root.path() + "/Client.app/Contents";
        const QString dir = contents + "/SharedSupport/";
        const QString shared = contents + "/Frameworks/";
        touch(shared + "QtGui.framework/Versions/4/QtGui");
        touch(shared + "QtSql.framework"); // a plain file of that name is no framework folder: it stays
        touch(shared + "QtWidgets.framework/QtWidgets");
        touch(shared + "QtCore.framework.bak/x");
        // A linked framework: the link goes, what it points to stays.
        touch(root.path() + "/elsewhere/QtNetwork.framework/QtNetwork");
        QVERIFY(QFile::link(root.path() + "/elsewhere/QtNetwork.framework", shared + "QtNetwork.framework"));

        const QString ware = dir + "wareloader.app/Contents/Frameworks/";
        const QString glitch = dir + "glitchpost.app/Contents/Frameworks/";
        const QString upd = dir + "update.app/Contents/Frameworks/";
        touch(shared + "QtCore.framework/QtCore");
        QVERIFY(QDir().mkpath(ware));
        QVERIFY(QFile::link(shared + "QtCore.framework", ware + "QtCore.framework"));
        QVERIFY(QFile::link(root.path() + "/dangling", ware + "QtGui.framework"));
        touch(glitch + "QtCore.framework/QtCore"); // a real folder stays
        QVERIFY(QFile::link(root.path() + "/elsewhere/QtNetwork.framework", glitch + "QtNetwork.framework"));
        touch(upd + "QtSql.framework");            // a plain file goes
        QVERIFY(QFile::link(shared + "QtWidgets.framework", upd + "QtOpenGL.framework"));

        UpdateEngine::removeQt4Files(dir);

        QVERIFY(!present(shared + "QtGui.framework"));
        QVERIFY(QFileInfo(shared + "QtSql.framework").isFile());
        QVERIFY(!present(shared + "QtCore.framework"));
        QVERIFY(!present(shared + "QtNetwork.framework"));
        QVERIFY(present(root.path() + "/elsewhere/QtNetwork.framework/QtNetwork"));
        QVERIFY(present(shared + "QtWidgets.framework/QtWidgets"));
        QVERIFY(present(shared + "QtCore.framework.bak/x"));
        QVERIFY(!present(ware + "QtCore.framework"));
        QVERIFY(!present(ware + "QtGui.framework"));
        QVERIFY(present(glitch + "QtCore.framework/QtCore"));
        QVERIFY(!present(glitch + "QtNetwork.framework"));
        QVERIFY(!present(upd + "QtSql.framework"));
        QVERIFY(present(upd + "QtOpenGL.framework"));

        // Nothing there: nothing happens, nothing fails.
        UpdateEngine::removeQt4Files(root.path() + "/none/");
        QVERIFY(present(shared + "QtWidgets.framework/QtWidgets"));
    }
};

QTEST_GUILESS_MAIN(CleanupTest)
#include "cleanuptest.moc"
