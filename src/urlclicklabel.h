#pragma once
// A label that opens a web address when it is clicked, with any mouse button: the logo (the
// maker's web site) and the banner (the banner's click address).  Only http and https addresses
// are opened; the banner's address comes from the network and may name anything.

#include <QLabel>
#include <QString>

class QMouseEvent;

class UrlClickLabel : public QLabel {
public:
    explicit UrlClickLabel(QWidget *parent = nullptr);

    void setUrl(const QString &url);
    QString url() const { return m_Url; }

    // True for an address the labels may open: a valid http or https URL with a host.
    static bool isOpenable(const QUrl &url);

protected:
    void mousePressEvent(QMouseEvent *event) override;

private:
    QString m_Url;
};
