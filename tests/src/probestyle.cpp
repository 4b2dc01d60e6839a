// A Qt style plug-in that lets the start-up test watch the real `update` program from outside.
// Loaded through QT_PLUGIN_PATH and QT_STYLE_OVERRIDE=vxprobe, it leaves the program unchanged and:
//  - writes a line to the file named by VXPROBE_LOG for each message box ("box <title>|<text>")
//    and for the main window when it is shown ("window <title>"), then answers the box with its
//    escape button;
//  - closes the main window VXPROBE_CLOSE_MS milliseconds after it was shown, when set;
//  - closes the main window after the first answered box, when VXPROBE_CLOSE_AFTER_BOX is set.
#include "common/messageboxcloser.h"

#include <QApplication>
#include <QEvent>
#include <QFile>
#include <QPointer>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStylePlugin>
#include <QTimer>
#include <QWidget>

namespace {

void probeLog(const QString &line)
{
    QFile file(qEnvironmentVariable("VXPROBE_LOG"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(line.toUtf8() + '\n');
}

class ProbeStyle : public QProxyStyle {
public:
    ProbeStyle()
        : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")))
        , m_closer(new MessageBoxCloser(QMessageBox::NoButton, qApp))
    {
        m_closer->setOnBox([this](const MessageBoxCloser::Box &box) {
            probeLog(QStringLiteral("box ") + box.title + QLatin1Char('|') + box.text);
            if (!qEnvironmentVariableIsEmpty("VXPROBE_CLOSE_AFTER_BOX") && m_window)
                QTimer::singleShot(100, m_window.data(), &QWidget::close);
        });
        qApp->installEventFilter(this);
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (event->type() == QEvent::Show && widget && widget->isWindow()
            && widget->objectName() == QLatin1String("MainWindow") && !m_window) {
            m_window = widget;
            probeLog(QStringLiteral("window ") + widget->windowTitle());
            bool ok = false;
            const int ms = qEnvironmentVariableIntValue("VXPROBE_CLOSE_MS", &ok);
            if (ok)
                QTimer::singleShot(ms, widget, &QWidget::close);
        }
        return QProxyStyle::eventFilter(watched, event);
    }

private:
    MessageBoxCloser *m_closer;
    QPointer<QWidget> m_window;
};

} // namespace

class ProbeStylePlugin : public QStylePlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QStyleFactoryInterface_iid FILE "probestyle.json")
public:
    QStyle *create(const QString &key) override
    {
        return key.compare(QLatin1String("vxprobe"), Qt::CaseInsensitive) == 0 ? new ProbeStyle : nullptr;
    }
};

#include "probestyle.moc"
