#include "shell/SystemDesktop.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>

void SystemDesktop::showMessage(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    box.exec();
}

void SystemDesktop::showNotice(QWidget *parent, const QString &title, const QString &text)
{
    m_notices.removeAll(nullptr);
    for (QMessageBox *open : std::as_const(m_notices)) {
        if (open->windowTitle() == title && open->text() == text) {
            open->raise();
            open->activateWindow();
            return;
        }
    }
    // Window-modal and shown with open(), not exec(): a box with its own event loop
    // would hold whatever waits below the caller, such as a run between two entries.
    auto *box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    m_notices.append(box);
    box->open();
}

void SystemDesktop::beep()
{
    QApplication::beep();
}

Desktop::OpenResult SystemDesktop::openFolder(const QString &folder)
{
    if (screenless())
        return OpenResult::NoScreen;
    return QProcess::startDetached(QStringLiteral("xdg-open"), {folder}) ? OpenResult::Started : OpenResult::NotStarted;
}

bool SystemDesktop::screenless()
{
    const QString platform = QGuiApplication::platformName();
    return platform == u"offscreen" || platform == u"minimal";
}
