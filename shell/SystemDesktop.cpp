#include "shell/SystemDesktop.h"

#include <QApplication>
#include <QMessageBox>
#include <QProcess>

void SystemDesktop::showMessage(QWidget *parent, const QString &title, const QString &text)
{
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    box.exec();
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
