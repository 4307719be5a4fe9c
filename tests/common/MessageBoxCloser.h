#pragma once

// Closes the message boxes that open, from whichever event loop runs meanwhile, and
// keeps what the last one showed. Tests never leave a box for a person to close.

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QStringList>
#include <QTimer>

#include <memory>

class MessageBoxCloser
{
public:
    // Given only, a box whose text does not start with it is left open until the
    // closer is othersMs old, as if someone were reading it.
    explicit MessageBoxCloser(const QString &only = {}, int othersMs = 0)
        : m_timer(std::make_unique<QTimer>())
    {
        m_age.start();
        m_timer->setInterval(10);
        QObject::connect(m_timer.get(), &QTimer::timeout, m_timer.get(), [this, only, othersMs] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            if (!box || (!box->text().startsWith(only) && !m_age.hasExpired(othersMs)))
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
    // The texts of the boxes open now, sorted.
    static QStringList openTexts()
    {
        QStringList texts;
        for (QWidget *window : QApplication::topLevelWidgets()) {
            if (auto *box = qobject_cast<QMessageBox *>(window); box && box->isVisible())
                texts << box->text();
        }
        texts.sort();
        return texts;
    }

private:
    QElapsedTimer m_age;
    std::unique_ptr<QTimer> m_timer;
    int m_count = 0;
    QString m_title;
    QString m_text;
    QMessageBox::Icon m_icon = QMessageBox::NoIcon;
};
