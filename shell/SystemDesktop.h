#pragma once

#include "shell/Desktop.h"

#include <QList>
#include <QPointer>

class QMessageBox;

// The real desktop: Qt's message box and beep, and xdg-open for the file manager.
class SystemDesktop : public Desktop
{
public:
    void showMessage(QWidget *parent, const QString &title, const QString &text) override;
    void showNotice(QWidget *parent, const QString &title, const QString &text) override;
    void beep() override;
    OpenResult openFolder(const QString &folder) override;

    // Whether the program draws for nobody (a batch run from cron or ssh).
    static bool screenless();

private:
    // The notices shown and not yet closed; each goes with its closing.
    QList<QPointer<QMessageBox>> m_notices;
};
