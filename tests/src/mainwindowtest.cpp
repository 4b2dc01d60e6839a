// The updater window, offscreen: layout, header, progress, details log, banner and its cache,
// the clickable labels, the start guards, the close / abort / cancel flows, the hand-over to the
// next program and the framework-link repair.  The window's engine runs against a local image
// server; boxes are answered by a MessageBoxCloser.
#include "banner.h"
#include "common/bannerresponder.h"
#include "common/clientbundle.h"
#include "common/httptestserver.h"
#include "common/messageboxcloser.h"
#include "configuration.h"
#include "mainwindow.h"
#include "updateengine.h"
#include "urlclicklabel.h"

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QLabel>
#include <QLayout>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QUrl>
#include <QtTest>

#include <functional>
#include <memory>

#include <unistd.h>

namespace {

const QString kCacheImage = QStringLiteral("voxtrel_banner.jpg");
const QString kCacheLink = QStringLiteral("voxtrel_banner.txt");

// The text of a symbolic link; empty when `path` is none.
QString linkText(const QString &path)
{
    char target[1024];
    const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
    return n > 0 ? QFile::decodeName(QByteArray(target, int(n))) : QString();
}

QString tempFile(const QString &name)
{
    return QDir::tempPath() + QLatin1Char('/') + name;
}

QByteArray pngBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(QColor(200, 40, 40, 120));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

// A stand-in for a program the window starts: a script that notes its arguments and, for an
// updater, the arguments file it was handed.
void writeFakeProgram(const QString &path, const QString &marker)
{
    const QByteArray m = marker.toUtf8();
    const QByteArray script = "#!/bin/sh\necho \"started $*\" > '" + m + ".part'\n"
                              "cat \"${TMPDIR:-/tmp}/vx3clientupdateargs\" >> '" + m + ".part' 2>/dev/null\n"
                              "mv '" + m + ".part' '" + m + "'\n";
    QVERIFY(ClientBundle::writeFile(path, script));
    QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// Runs the application's event loop until the window ends it (exit / quit / last window
// closed) and returns its status; -99 when nothing ended it in time.
int runUntilExit(const std::function<void()> &kick, int timeoutMs = 15000)
{
    QTimer::singleShot(0, kick);
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(-99); });
    watchdog.start(timeoutMs);
    return QCoreApplication::exec();
}

} // namespace

class MainWindowTest : public QObject {
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<HttpTestServer> m_server;
    std::unique_ptr<Configuration> m_config;
    std::unique_ptr<MainWindow> m_window;
    QString m_contents; // the client bundle's Contents folder
    QList<QUrl> m_opened;

    template <typename T>
    T *child(const char *name) const
    {
        T *widget = m_window->findChild<T *>(QLatin1String(name));
        if (!widget)
            qFatal("no child %s", name);
        return widget;
    }

    // The details log as the user sees it once "Details" is pressed.
    QString shownLog() const
    {
        child<QPushButton>("detailsButton")->setChecked(true);
        return child<QTextEdit>("outputTextEdit")->toPlainText();
    }

    // A window whose configuration is ready for version 42 against the local server.
    void makeWindow(int clientUpdate = 0)
    {
        m_config.reset(new Configuration);
        m_config->m_ClientUpdate = clientUpdate;
        m_config->m_ClientType = Configuration::defaultClientType(clientUpdate != 0);
        m_config->m_Version = 42;
        m_config->m_Ready = true;
        imageBaseUrl = m_server->baseUrl() + QLatin1Char('/');
        m_window.reset(new MainWindow(m_config.get()));
        m_window->setHeaderTexts();
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }

    // A window whose update has a session folder and an install folder to hand over from; the
    // programs it may start note their start in the returned marker file.
    QString makeHandOverWindow(int clientUpdate)
    {
        makeWindow(clientUpdate);
        m_config->m_TempDir = m_root->path() + QStringLiteral("/session");
        m_config->m_InstallDir = m_contents + QLatin1Char('/');
        return m_root->path() + QStringLiteral("/started");
    }

    bool startRunning()
    {
        QMetaObject::invokeMethod(m_window.get(), "onStartUpdate");
        return m_window->engine()->state() == UpdateEngine::RUNNING && m_server->waitForRequests(1);
    }

public slots:
    void recordUrl(const QUrl &url) { m_opened << url; }

private slots:
    void initTestCase()
    {
        for (const char *scheme : {"http", "https", "file", "javascript", "ftp"})
            QDesktopServices::setUrlHandler(QLatin1String(scheme), this, "recordUrl");
        // Should a test go without the cached banner, the lookup asks a local port nobody serves.
        Banner::setServerForTesting(QStringLiteral("127.0.0.1"), 9);
    }

    void init()
    {
        m_root.reset(new QTemporaryDir);
        m_contents = m_root->path() + QStringLiteral("/Voxtrel 3 Client.app/Contents");
        const QString macos = m_contents + QStringLiteral("/SharedSupport/update.app/Contents/MacOS");
        QVERIFY(QDir().mkpath(macos));
        Configuration::setApplicationDirForTesting(macos);
        m_server.reset(new HttpTestServer);
        m_server->setDefaultResponse(HttpTestServer::Response::silent());
        m_opened.clear();
        QFile::remove(tempFile(kCacheImage));
        QFile::remove(tempFile(kCacheLink));
        // A banner in the cache keeps the window's banner lookup off the network.
        QVERIFY(ClientBundle::writeFile(tempFile(kCacheImage), pngBytes(468, 60)));
        QVERIFY(ClientBundle::writeFile(tempFile(kCacheLink), "https%3A%2F%2Fbanner.example%2F"));
    }

    void cleanup()
    {
        if (m_window && m_window->engine()->state() == UpdateEngine::RUNNING) {
            // Let a running update fail before its window goes: the server drops what it holds
            // and refuses the retries.
            MessageBoxCloser closer;
            QSignalSpy canceled(m_window->engine(), &UpdateEngine::updateCanceled);
            m_server->setDefaultResponse(HttpTestServer::Response::withStatus(404));
            m_server->closeAllConnections();
            QVERIFY(canceled.wait(10000));
        }
        m_window.reset();
        m_config.reset();
        m_server.reset();
        QDir(Configuration::argsFilePath()).removeRecursively(); // a blocked arguments file
        Configuration::setApplicationDirForTesting(QString());
        QApplication::setQuitOnLastWindowClosed(true);
    }

    void layout()
    {
        makeWindow(); // init() left a cached banner: it is shown at once
        QCOMPARE(m_window->windowTitle(), QStringLiteral("Voxtrel 3 Client Update"));
        auto *logo = child<UrlClickLabel>("voxtrelLabel");
        auto *banner = child<UrlClickLabel>("banner");
        auto *bar = child<QProgressBar>("totalProgressBar");
        auto *details = child<QPushButton>("detailsButton");
        QCOMPARE(logo->size(), QSize(48, 48));
        QVERIFY(logo->pixmap(Qt::ReturnByValue).hasAlphaChannel());
        QCOMPARE(banner->size(), QSize(468, 60));
        QVERIFY(!banner->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(banner->url(), QStringLiteral("https://banner.example/"));
        QCOMPARE(bar->maximum(), 1000);
        QVERIFY(!child<QTextEdit>("outputTextEdit")->isVisible());
        QCOMPARE(details->text(), QStringLiteral("Details"));
        // Top to bottom: header and logo side by side, banner, progress, footer with the button.
        const auto at = [this](QWidget *w) { return w->mapTo(m_window.get(), QPoint(0, 0)); };
        QVERIFY(at(child<QLabel>("versionLabel")).x() < at(logo).x());
        QVERIFY(at(logo).y() < at(banner).y() && at(banner).y() < at(bar).y() && at(bar).y() < at(details).y());
        QVERIFY(QFile::exists(QStringLiteral(":/images/application.ico")));
    }

    void headerTexts_data()
    {
        QTest::addColumn<int>("channel");
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<QString>("versionString");
        QTest::addColumn<QStringList>("expected");
        QTest::addColumn<QStringList>("absent");
        QTest::newRow("stable, updater step, no version string")
            << 0 << 0 << QString() << QStringList{"<strong>Stable channel</strong>", "Step one: Updating updater"}
            << QStringList{"Update to Voxtrel", "Step two"};
        QTest::newRow("beta, client step") << 1 << 1 << QStringLiteral("3.6.1")
                                           << QStringList{"Update to Voxtrel 3.6.1", "<strong>Beta channel</strong>",
                                                          "Step two: Updating Voxtrel client"}
                                           << QStringList{"Step one"};
        QTest::newRow("alpha") << 2 << 0 << QString() << QStringList{"<strong>Alpha channel</strong>"} << QStringList();
        QTest::newRow("unknown channel is stable") << 7 << 0 << QString() << QStringList{"<strong>Stable channel</strong>"}
                                                   << QStringList();
        QTest::newRow("version string is escaped")
            << 0 << 0 << QStringLiteral("<img src=x>3 & <b>4</b>")
            << QStringList{"Update to Voxtrel &lt;img src=x&gt;3 &amp; &lt;b&gt;4&lt;/b&gt;"} << QStringList{"<img", "<b>4"};
    }

    void headerTexts()
    {
        QFETCH(int, channel);
        QFETCH(int, clientUpdate);
        QFETCH(QString, versionString);
        QFETCH(QStringList, expected);
        QFETCH(QStringList, absent);
        makeWindow(clientUpdate);
        m_config->m_Channel = channel;
        m_config->m_VersionString = versionString;
        m_window->setHeaderTexts();
        const QString text = child<QLabel>("versionLabel")->text();
        for (const QString &part : expected)
            QVERIFY2(text.contains(part), qPrintable(text));
        for (const QString &part : absent)
            QVERIFY2(!text.contains(part), qPrintable(text));
        QVERIFY(text.endsWith(QStringLiteral("</div>")));
        QVERIFY(text.lastIndexOf(QStringLiteral("Step")) > text.lastIndexOf(QStringLiteral("channel")));
    }

    void progress_data()
    {
        QTest::addColumn<qreal>("doneFrac");
        QTest::addColumn<int>("shown");
        QTest::newRow("0") << qreal(0.0) << 0;
        QTest::newRow("0.0004 truncates") << qreal(0.0004) << 0;
        QTest::newRow("0.5") << qreal(0.5) << 500;
        QTest::newRow("0.9995 truncates") << qreal(0.9995) << 999;
        QTest::newRow("1") << qreal(1.0) << 1000;
    }

    void progress()
    {
        QFETCH(qreal, doneFrac);
        QFETCH(int, shown);
        makeWindow();
        emit m_window->engine()->updateProgress(doneFrac);
        QCOMPARE(child<QProgressBar>("totalProgressBar")->value(), shown);
    }

    void detailsToggleShowsNewestLine()
    {
        makeWindow();
        auto *log = child<QTextEdit>("outputTextEdit");
        auto *details = child<QPushButton>("detailsButton");
        MessageBoxCloser closer;
        QStringList sent;
        const auto send = [&](int from, int to) {
            for (int i = from; i < to; ++i) {
                sent << QStringLiteral("line %1").arg(i);
                emit m_window->engine()->message(sent.last());
            }
        };
        send(0, 20);
        sent << QStringLiteral("an error");
        emit m_window->engine()->error(sent.last());
        send(20, 40);
        // Nothing is laid out while the log is hidden ...
        QVERIFY(log->toPlainText().isEmpty());
        const int closedHeight = m_window->height();

        // ... and every line is there, in order, once it is opened.
        QTest::mouseClick(details, Qt::LeftButton);
        QVERIFY(log->isVisible());
        QCOMPARE(log->toPlainText(), sent.join(QLatin1Char('\n')));
        QTRY_VERIFY(m_window->height() > closedHeight);
        QVERIFY(m_window->height() - closedHeight <= 100 + 2 * m_window->layout()->spacing());
        QTRY_COMPARE(log->verticalScrollBar()->value(), log->verticalScrollBar()->maximum());
        QVERIFY(log->verticalScrollBar()->maximum() > 0);
        send(40, 45);
        QCOMPARE(log->toPlainText(), sent.join(QLatin1Char('\n')));

        QTest::mouseClick(details, Qt::LeftButton);
        QVERIFY(!log->isVisible());
        QTRY_COMPARE(m_window->height(), closedHeight);
        send(45, 50);
        QCOMPARE(shownLog(), sent.join(QLatin1Char('\n')));
        QCOMPARE(closer.titles(), QStringList{"Error"});
    }

    void bannerShownAndCached_data()
    {
        QTest::addColumn<QString>("clickUrl");
        QTest::addColumn<bool>("opens");
        QTest::addColumn<QString>("toolTip");
        QTest::addColumn<QByteArray>("cachedLink");
        QTest::newRow("https, blanks and non-ASCII")
            << QStringLiteral("https://ads.example.org/a b?q=\u00fc") << true << QStringLiteral("Click to open \"https://ads.example.org\"")
            << QByteArray("https%3A%2F%2Fads.example.org%2Fa%20b%3Fq%3D%C3%BC");
        QTest::newRow("http") << QStringLiteral("http://ads.example.org/") << true << QStringLiteral("Click to open \"http://ads.example.org\"")
                              << QByteArray("http%3A%2F%2Fads.example.org%2F");
        QTest::newRow("file is never opened") << QStringLiteral("file:///etc/passwd") << false << QString()
                                              << QByteArray("file%3A%2F%2F%2Fetc%2Fpasswd");
        QTest::newRow("javascript is never opened") << QStringLiteral("javascript:alert(1)") << false << QString()
                                                    << QByteArray("javascript%3Aalert%281%29");
    }

    void bannerShownAndCached()
    {
        QFETCH(QString, clickUrl);
        QFETCH(bool, opens);
        QFETCH(QString, toolTip);
        QFETCH(QByteArray, cachedLink);
        makeWindow();
        QFile::remove(tempFile(kCacheImage));
        QFile::remove(tempFile(kCacheLink));
        emit m_window->engine()->bannerFound(pngBytes(100, 20), clickUrl);

        auto *banner = child<UrlClickLabel>("banner");
        QVERIFY(!banner->pixmap(Qt::ReturnByValue).isNull());
        QCOMPARE(banner->size(), QSize(468, 60)); // stretched whatever its own size
        QCOMPARE(banner->toolTip(), toolTip);
        QTest::mouseClick(banner, Qt::LeftButton);
        QCOMPARE(m_opened.size(), opens ? 1 : 0);
        if (opens)
            QCOMPARE(m_opened.first(), QUrl(clickUrl, QUrl::TolerantMode));

        // The cache: the picture as JPEG (transparency gone), the link percent-encoded UTF-8.
        QImageReader reader(tempFile(kCacheImage));
        QCOMPARE(reader.format(), QByteArray("jpeg"));
        QCOMPARE(reader.read().size(), QSize(100, 20));
        QCOMPARE(ClientBundle::readFile(tempFile(kCacheLink)), cachedLink);
    }

    // The banner service may name an image without a click address: the banner is shown, and a
    // click on it opens nothing.
    void bannerWithoutClickAddress()
    {
        QFile::remove(tempFile(kCacheImage));
        QFile::remove(tempFile(kCacheLink));
        BannerResponder responder;
        responder.setReply(m_server->url(QStringLiteral("/b.png")).toUtf8() + ",");
        m_server->setResponse("/b.png", HttpTestServer::Response::ok(pngBytes(468, 60), "image/png"));
        Banner::setServerForTesting(responder.host(), responder.port());
        makeWindow();
        Banner::setServerForTesting(QStringLiteral("127.0.0.1"), 9);

        auto *banner = child<UrlClickLabel>("banner");
        QTRY_VERIFY_WITH_TIMEOUT(!banner->pixmap(Qt::ReturnByValue).isNull(), 10000);
        QCOMPARE(banner->url(), QString());
        QCOMPARE(banner->toolTip(), QString());
        QTest::mouseClick(banner, Qt::LeftButton);
        QCOMPARE(m_opened, QList<QUrl>());
        QVERIFY(QFile::exists(tempFile(kCacheImage)));
        QCOMPARE(ClientBundle::readFile(tempFile(kCacheLink)), QByteArray());
    }

    void bannerWithUnreadableImageIsIgnored()
    {
        makeWindow();
        auto *banner = child<UrlClickLabel>("banner");
        const qint64 shown = banner->pixmap(Qt::ReturnByValue).cacheKey(); // the cached banner
        QFile::remove(tempFile(kCacheImage));
        QFile::remove(tempFile(kCacheLink));
        emit m_window->engine()->bannerFound("not an image", QStringLiteral("https://ads.example.org/"));
        QCOMPARE(banner->pixmap(Qt::ReturnByValue).cacheKey(), shown);
        QCOMPARE(banner->url(), QStringLiteral("https://banner.example/"));
        QVERIFY(!QFile::exists(tempFile(kCacheImage)));
        QVERIFY(!QFile::exists(tempFile(kCacheLink)));
    }

    void urlClickLabel_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("opens");
        QTest::newRow("left click") << QStringLiteral("https://www.example.com/x") << int(Qt::LeftButton) << true;
        QTest::newRow("right click") << QStringLiteral("http://www.example.com/") << int(Qt::RightButton) << true;
        QTest::newRow("empty") << QString() << int(Qt::LeftButton) << false;
        QTest::newRow("file") << QStringLiteral("file:///etc/passwd") << int(Qt::LeftButton) << false;
        QTest::newRow("no host") << QStringLiteral("https://") << int(Qt::LeftButton) << false;
    }

    void urlClickLabel()
    {
        QFETCH(QString, url);
        QFETCH(int, button);
        QFETCH(bool, opens);
        UrlClickLabel label;
        label.resize(50, 20);
        label.setUrl(url);
        label.show();
        QTest::mouseClick(&label, Qt::MouseButton(button));
        QCOMPARE(m_opened, opens ? QList<QUrl>{QUrl(url)} : QList<QUrl>());
    }

    void logoOpensWebSite()
    {
        makeWindow();
        QTest::mouseClick(child<UrlClickLabel>("voxtrelLabel"), Qt::RightButton);
        QCOMPARE(m_opened, QList<QUrl>{QUrl(MainWindow::webSiteUrl())});
    }

    void closeWhenIdle_data()
    {
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<bool>("cacheKept");
        QTest::newRow("updater step keeps the banner cache") << 0 << true;
        QTest::newRow("client step deletes the banner cache") << 1 << false;
    }

    void closeWhenIdle()
    {
        QFETCH(int, clientUpdate);
        QFETCH(bool, cacheKept);
        makeWindow(clientUpdate);
        MessageBoxCloser closer;
        QVERIFY(m_window->close());
        QCOMPARE(closer.count(), 0);
        QCOMPARE(QFile::exists(tempFile(kCacheImage)), cacheKept);
        QCOMPARE(QFile::exists(tempFile(kCacheLink)), cacheKept);
    }

    void closeWhileRunningAsksAndAborts()
    {
        makeWindow();
        QVERIFY(startRunning());
        MessageBoxCloser closer(QMessageBox::No);
        QVERIFY(!m_window->close());
        QCOMPARE(closer.titles(), QStringList{"Question"});
        QCOMPARE(closer.boxes().first().text, QStringLiteral("<p>Update in progress.</p><p>Are you sure you want to abort?</p>"));
        QVERIFY(m_window->isVisible());
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::RUNNING));

        // Yes: the engine cancels and the application quits once it has reported the cancel; a
        // close tried meanwhile is refused without a second question.
        closer.setAnswer(QMessageBox::Yes);
        const int status = runUntilExit([this] {
            QVERIFY(!m_window->close());
            m_window->close();
        });
        QCOMPARE(status, 0);
        QCOMPARE(closer.titles(), (QStringList{"Question", "Question"}));
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::CANCELED));
        QVERIFY(!shownLog().contains(QStringLiteral("Update cancelled")));
    }

    void failedUpdateStaysOpenThenClosesWithStatus2()
    {
        m_server.reset(new HttpTestServer); // 404 for everything: the product list cannot be had
        makeWindow();
        MessageBoxCloser closer;
        QMetaObject::invokeMethod(m_window.get(), "onStartUpdate");
        QTRY_COMPARE_WITH_TIMEOUT(closer.count(), 1, 15000);
        QCOMPARE(closer.boxes().first().title, QStringLiteral("Update"));
        QCOMPARE(closer.boxes().first().text, QStringLiteral("Update cancelled. Push \"Details\" to check reasons."));
        QVERIFY(m_window->isVisible());
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::PRE_INIT));
        QVERIFY(shownLog().endsWith(QStringLiteral("Update cancelled")));
        QCOMPARE(child<QProgressBar>("totalProgressBar")->value(), 0);

        QCOMPARE(runUntilExit([this] { QVERIFY(m_window->close()); }), 2);
        QCOMPARE(closer.count(), 1);

        // A later start (the pending start single shot) makes a new attempt.
        m_server->setDefaultResponse(HttpTestServer::Response::silent());
        QMetaObject::invokeMethod(m_window.get(), "onStartUpdate");
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::RUNNING));
    }

    void startGuards()
    {
        makeWindow();
        m_config->m_Ready = false;
        QMetaObject::invokeMethod(m_window.get(), "onStartUpdate");
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::PRE_INIT));

        m_config->m_Ready = true;
        emit m_config->ready();
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::RUNNING));
        QVERIFY(m_server->waitForRequests(1));
        QTest::qWait(200);
        const int requests = m_server->requestCount();
        QMetaObject::invokeMethod(m_window.get(), "onStartUpdate"); // the start single shot, later
        QTest::qWait(200);
        QCOMPARE(m_server->requestCount(), requests);
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::RUNNING));
    }

    void handOver_data()
    {
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<bool>("closeEarly");
        QTest::newRow("updater step, after 1000 ms") << 0 << false;
        QTest::newRow("updater step, window closed at once") << 0 << true;
        QTest::newRow("client step, after 1000 ms") << 1 << false;
        QTest::newRow("client step, window closed at once") << 1 << true;
    }

    void handOver()
    {
        QFETCH(int, clientUpdate);
        QFETCH(bool, closeEarly);
        const QString marker = makeHandOverWindow(clientUpdate);
        writeFakeProgram(m_config->m_TempDir + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update"), marker);
        writeFakeProgram(m_contents + QStringLiteral("/MacOS/vx3client_mac"), marker);

        QElapsedTimer clock;
        clock.start();
        const int status = runUntilExit([&] {
            emit m_window->engine()->updateFinished();
            QMetaObject::invokeMethod(m_window.get(), "onStartUpdate"); // after the end: ignored
            if (closeEarly)
                QVERIFY(m_window->close());
        });
        QCOMPARE(status, 0);
        QCOMPARE(m_window->engine()->state(), int(UpdateEngine::PRE_INIT));
        QVERIFY(!m_window->isVisible());
        QVERIFY(closeEarly ? clock.elapsed() < 1000 : clock.elapsed() >= 1000);
        // The program ends with its loop: nothing the window still had pending may run now.
        m_window.reset();
        QTRY_VERIFY(QFile::exists(marker));
        const QByteArray started = ClientBundle::readFile(marker);
        if (clientUpdate)
            QVERIFY(started.startsWith("started \n"));
        else
            QCOMPARE(started, QByteArray("started \n--clientupdate\nclient_macosx\n42\n#\n"));
    }

    void handOverFails_data()
    {
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<QString>("block"); // "args": a folder where the arguments file goes
        QTest::addColumn<bool>("closeEarly");
        QTest::addColumn<QString>("missing"); // the path the box names, relative to the root
        QTest::addColumn<QString>("failure");
        QTest::newRow("updater step, arguments file blocked")
            << 0 << "args" << false << "" << "for the next update step could not be written.";
        QTest::newRow("updater step, arguments file blocked, window closed at once")
            << 0 << "args" << true << "" << "for the next update step could not be written.";
        QTest::newRow("updater step, fresh updater missing")
            << 0 << "" << false << "session/SharedSupport/update.app/Contents/MacOS/update" << "could not be started.";
        QTest::newRow("client step, client missing")
            << 1 << "" << false << "Voxtrel 3 Client.app/Contents/MacOS/vx3client_mac" << "could not be started.";
        QTest::newRow("client step, client missing, window closed at once")
            << 1 << "" << true << "Voxtrel 3 Client.app/Contents/MacOS/vx3client_mac" << "could not be started.";
    }

    // A hand-over that fails is never a silent success: the box says what could not be written
    // or started, and the program ends with status 2.
    void handOverFails()
    {
        QFETCH(int, clientUpdate);
        QFETCH(QString, block);
        QFETCH(bool, closeEarly);
        QFETCH(QString, missing);
        QFETCH(QString, failure);
        const QString marker = makeHandOverWindow(clientUpdate);
        QString named = m_root->path() + QLatin1Char('/') + missing;
        if (block == QLatin1String("args")) {
            writeFakeProgram(m_config->m_TempDir + QStringLiteral("/SharedSupport/update.app/Contents/MacOS/update"), marker);
            QFile::remove(Configuration::argsFilePath());
            QVERIFY(QDir().mkpath(Configuration::argsFilePath() + QStringLiteral("/blocked")));
            named = Configuration::argsFilePath();
        }

        MessageBoxCloser closer;
        const int status = runUntilExit([&] {
            emit m_window->engine()->updateFinished();
            if (closeEarly)
                m_window->close();
        });
        QCOMPARE(status, 2);
        QCOMPARE(closer.titles(), QStringList{"Error"});
        const QString text = closer.boxes().first().text;
        QVERIFY2(text.contains(QLatin1Char('"') + named + QLatin1Char('"')) && text.endsWith(failure), qPrintable(text));
        QVERIFY(shownLog().endsWith(text));
        QVERIFY(!m_window->isVisible());
        m_window.reset();
        QTest::qWait(300);
        QVERIFY(!QFile::exists(marker));
    }

    void linkRepair_data()
    {
        QTest::addColumn<bool>("glitchpostFrameworks");
        QTest::newRow("glitchpost without Frameworks") << false;
        QTest::newRow("glitchpost with Frameworks") << true;
    }

    void linkRepair()
    {
        QFETCH(bool, glitchpostFrameworks);
        makeWindow(1);
        m_config->m_InstallDir = m_contents + QLatin1Char('/');
        const QString shared = m_contents + QStringLiteral("/SharedSupport/");
        // update.app has Contents but no Frameworks; wareloader has one real library already.
        QVERIFY(QDir().mkpath(shared + QStringLiteral("update.app/Contents")));
        QVERIFY(ClientBundle::writeFile(shared + QStringLiteral("wareloader.app/Contents/Frameworks/libQt5Core.dylib"), "real"));
        if (glitchpostFrameworks)
            QVERIFY(QDir().mkpath(shared + QStringLiteral("glitchpost.app/Contents/Frameworks")));

        emit m_window->engine()->updateFinished();
        const QString update = shared + QStringLiteral("update.app/Contents/Frameworks/");
        const QString ware = shared + QStringLiteral("wareloader.app/Contents/Frameworks/");
        const QString glitch = shared + QStringLiteral("glitchpost.app/Contents/Frameworks/");
        for (const QString module : {"Core", "Gui", "Widgets", "Network", "PrintSupport"}) {
            const QString lib = QStringLiteral("libQt5%1.dylib").arg(module);
            QCOMPARE(linkText(update + lib), "../../../../Frameworks/" + lib);
            QCOMPARE(linkText(glitch + lib), glitchpostFrameworks ? "../../../../Frameworks/" + lib : QString());
            if (module != QLatin1String("Core"))
                QCOMPARE(linkText(ware + lib), "../../../../Frameworks/" + lib);
        }
        // A library already there is left alone.
        QCOMPARE(ClientBundle::readFile(ware + QStringLiteral("libQt5Core.dylib")), QByteArray("real"));
        QCOMPARE(linkText(glitch + QStringLiteral("libquazip.dylib")),
                 glitchpostFrameworks ? QStringLiteral("../../../../Frameworks/libquazip.dylib") : QString());
        // The link reaches the client's own Frameworks folder.
        QVERIFY(ClientBundle::writeFile(m_contents + QStringLiteral("/Frameworks/libQt5Gui.dylib"), "qt"));
        QCOMPARE(ClientBundle::readFile(update + QStringLiteral("libQt5Gui.dylib")), QByteArray("qt"));
    }

};

QTEST_MAIN(MainWindowTest)
#include "mainwindowtest.moc"
