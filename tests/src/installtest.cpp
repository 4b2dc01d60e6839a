// `cmake --install` into a temporary prefix lays the updater out as it ships: the program in
// update.app and, beside update.app, our catalogue and Qt's for each locale, complete enough that
// the updater's own way of loading them gives German texts to Qt's buttons.
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

class InstallTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_prefix;

private slots:
    void initTestCase()
    {
        QVERIFY(m_prefix.isValid());
        QProcess install;
        install.setProcessChannelMode(QProcess::MergedChannels);
        install.start(QStringLiteral(VX_CMAKE_COMMAND),
                      {"--install", QStringLiteral(VX_BUILD_DIR), "--prefix", m_prefix.path()});
        QVERIFY(install.waitForFinished(60000));
        QVERIFY2(install.exitStatus() == QProcess::NormalExit && install.exitCode() == 0, install.readAll().constData());
    }

    void layout_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("program") << "update.app/Contents/MacOS/update";
        QTest::newRow("our German catalogue") << "translations/update_de.qm";
        QTest::newRow("Qt's German catalogue") << "translations/qt_de.qm";
    }

    void layout()
    {
        QFETCH(QString, path);
        QVERIFY2(QFileInfo(m_prefix.filePath(path)).isFile(), qPrintable(path));
    }

    // As the updater loads them: "qt_" + the locale's name from the folder beside update.app,
    // with QTranslator's default search ("qt_de_DE" falls back to "qt_de").
    void qtButtonsInGerman_data()
    {
        QTest::addColumn<QString>("context");
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("german");
        QTest::newRow("Yes") << "QPlatformTheme" << "&Yes" << "&Ja";
        QTest::newRow("No") << "QPlatformTheme" << "&No" << "&Nein";
        QTest::newRow("Cancel") << "QPlatformTheme" << "Cancel" << "Abbrechen";
    }

    void qtButtonsInGerman()
    {
        QFETCH(QString, context);
        QFETCH(QString, source);
        QFETCH(QString, german);
        QTranslator translator;
        QVERIFY(translator.load(m_prefix.filePath(QStringLiteral("translations/qt_de_DE"))));
        QCOMPARE(translator.translate(context.toLatin1().constData(), source.toLatin1().constData()), german);
    }
};

QTEST_GUILESS_MAIN(InstallTest)
#include "installtest.moc"
