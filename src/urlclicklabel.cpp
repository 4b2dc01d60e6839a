#include "urlclicklabel.h"

#include <QDesktopServices>
#include <QMouseEvent>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget *parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString &url)
{
    m_Url = url;
}

bool UrlClickLabel::isOpenable(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        && !url.host().isEmpty();
}

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    // The click is ours whatever the button; QLabel does not see it.
    event->accept();
    const QUrl url(m_Url, QUrl::TolerantMode);
    if (isOpenable(url))
        QDesktopServices::openUrl(url);
}
