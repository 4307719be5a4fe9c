#pragma once

#include <QString>
#include <QtGlobal>

// What the disk did with a finished body handed to it (Inet::commitBody), told to the
// run in the order it happened. The one type the commit and the run share, so no kind
// can get lost between them.
struct CommitReport
{
    enum class Kind {
        // It got a name other than the one planned for it: path is the one it got.
        Named,
        // Its name is on the disk; its entry may leave the list.
        Durable,
        // It got no name (error): path is the one planned. It stays a part file when
        // it can be continued.
        Failed,
        // It lies under path, or is just being given it, but the folder's flush failed
        // (error) or was given up on (error 0): a power cut may still take its name, so
        // its entry stays.
        Unsettled,
    };
    Kind kind;
    quint64 ticket;
    QString path;
    int error = 0;
};
