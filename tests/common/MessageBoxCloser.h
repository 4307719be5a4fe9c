#pragma once

// Closes the next message box that opens, from inside its own event loop, and keeps
// what it showed. Tests never leave a box for a person to close.

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include <memory>

class MessageBoxCloser
{
public:
    MessageBoxCloser()
        : m_timer(std::make_unique<QTimer>())
    {
        m_timer->setInterval(10);
        QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box)
                return;
            ++m_count;
            m_title = box->windowTitle();
            m_text = box->text();
            m_icon = box->icon();
            box->accept();
        });
        m_timer->start();
    }

    int count() const { return m_count; }
    QString title() const { return m_title; }
    QString text() const { return m_text; }
    QMessageBox::Icon icon() const { return m_icon; }

private:
    std::unique_ptr<QTimer> m_timer;
    int m_count = 0;
    QString m_title;
    QString m_text;
    QMessageBox::Icon m_icon = QMessageBox::NoIcon;
};
