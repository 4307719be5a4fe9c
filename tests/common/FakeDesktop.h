#pragma once

// Takes the desktop's place in tests: records the message boxes, beeps and folders the
// program asks for, and shows and starts nothing.

#include "shell/Desktop.h"

#include <QList>
#include <QString>
#include <QStringList>

class FakeDesktop : public Desktop
{
public:
    struct Message
    {
        QString title;
        QString text;
        bool operator==(const Message &) const = default;
    };

    void showMessage(QWidget *, const QString &title, const QString &text) override { messages.append({title, text}); }
    void showNotice(QWidget *, const QString &title, const QString &text) override { messages.append({title, text}); }
    void beep() override { ++beeps; }
    OpenResult openFolder(const QString &folder) override
    {
        opened.append(folder);
        return openResult;
    }

    QList<Message> messages;
    int beeps = 0;
    QStringList opened;
    // What openFolder answers.
    OpenResult openResult = OpenResult::Started;
};
