#pragma once
// Answers the message boxes a widget test provokes.  While it lives it looks every 20 ms for a
// visible QMessageBox among the top-level widgets (modal boxes run their own event loop, in which
// the timer keeps firing), notes its title and text and clicks the chosen button, or, when none
// was chosen, the box's escape button or else its first button.
//
// Header-only; include it from test programs that link Qt5::Widgets.

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class MessageBoxCloser : public QObject {
public:
    struct Box {
        QString title;
        QString text;
    };

    explicit MessageBoxCloser(QMessageBox::StandardButton answer = QMessageBox::NoButton, QObject *parent = nullptr)
        : QObject(parent)
        , m_answer(answer)
    {
        m_timer.setInterval(20);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    void setAnswer(QMessageBox::StandardButton answer) { m_answer = answer; }
    // Called for each box before it is answered (the box is still open).
    void setOnBox(std::function<void(const Box &)> onBox) { m_onBox = std::move(onBox); }

    const QList<Box> &boxes() const { return m_boxes; }
    int count() const { return m_boxes.size(); }
    QStringList titles() const
    {
        QStringList list;
        for (const Box &box : m_boxes)
            list << box.title;
        return list;
    }

private:
    void poll()
    {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(widget);
            if (!box || !box->isVisible())
                continue;
            QAbstractButton *button = m_answer != QMessageBox::NoButton ? box->button(m_answer) : nullptr;
            if (!button)
                button = box->escapeButton();
            if (!button && !box->buttons().isEmpty())
                button = box->buttons().first(); // a box with the one button Ok
            if (!button)
                continue;
            const Box seen{box->windowTitle(), box->text()};
            m_boxes << seen;
            if (m_onBox)
                m_onBox(seen);
            button->click(); // hides the box, so it is answered once
        }
    }

    QTimer m_timer;
    QMessageBox::StandardButton m_answer;
    QList<Box> m_boxes;
    std::function<void(const Box &)> m_onBox;
};
