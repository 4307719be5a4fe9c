#pragma once

#include <QString>

class QWidget;

// What the program asks of the desktop around its window: a message box, the system
// beep and the file manager. Tests put a recording stand-in in its place, so that no
// box waits for a person and no file manager opens.
class Desktop
{
public:
    enum class OpenResult { Started, NoScreen, NotStarted };

    virtual ~Desktop() = default;

    // An information box with one OK button; returns when it is closed.
    virtual void showMessage(QWidget *parent, const QString &title, const QString &text) = 0;
    // The same box, but it returns at once: a run below the caller goes on while the
    // box waits for its reader. While one with the same title and text is open, that
    // one is brought forward instead of a second one shown.
    virtual void showNotice(QWidget *parent, const QString &title, const QString &text) = 0;
    virtual void beep() = 0;
    // Shows folder in the user's file manager, which lives on as a process of its own.
    virtual OpenResult openFolder(const QString &folder) = 0;
};
