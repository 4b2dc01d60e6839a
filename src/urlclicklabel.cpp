#include "urlclicklabel.h"

#include "banner.h"

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
    return Banner::isWebUrl(url);
}

void UrlClickLabel::mousePressEvent(QMouseEvent *event)
{
    // The click is ours whatever the button; QLabel does not see it.
    event->accept();
    const QUrl url(m_Url, QUrl::TolerantMode);
    if (isOpenable(url))
        QDesktopServices::openUrl(url);
}
