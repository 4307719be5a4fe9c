#pragma once

#include "download/CommitReport.h"
#include "download/store/PartFile.h"

#include <QList>
#include <QString>

#include <functional>
#include <memory>

// Makes finished bodies durable behind the run, as many together as arrive meanwhile.
// Each body's bytes are flushed as soon as it comes (several at once, in threads of
// their own: a device serves flushes that wait side by side with one), then the body
// is given its name, then the download folder is flushed once for every name given
// since the last flush. Only then is a body durable, and only then may its entry
// leave the list: a power cut at any moment leaves either a listed entry or a
// complete file under a name the disk knows, never an empty one.
class GroupCommit
{
public:
    // How many flushes may wait side by side; more threads than the bodies of a slow
    // disk's flush buy nothing.
    static constexpr int MaxFlushers = 32;

    struct Body
    {
        PartFile::Finished file;
        QString dir;
        QString fileName;
        QString path;
        int counter = 0;
        // The list entry it arrived for; its record stays until the entry left the list.
        QString entry;
    };
    using Report = CommitReport;

    // reportsWaiting is called from a thread of the commit, with its lock held,
    // whenever reports wait where none did; it must only pass the word on. Held, so
    // that the destructor can be sure no call is under way once it has cleared it.
    explicit GroupCommit(std::function<void()> reportsWaiting);
    // Finishes what was handed in, unless it was given up on.
    ~GroupCommit();
    GroupCommit(const GroupCommit &) = delete;
    GroupCommit &operator=(const GroupCommit &) = delete;

    // Takes a body over and returns its ticket. Throws FileError when no thread can be
    // started to take it (the body is then let go as if it had not arrived whole).
    quint64 add(Body body);
    // What happened since the last call, in the order it happened: per body Named
    // (only when it got another name than its path), then Durable or Unsettled; or
    // Failed (the body then stays a part file when it can be continued, else it is
    // removed; one whose flush failed is always removed).
    QList<Report> takeReports();
    // Bodies handed in and not yet durable, failed or given up on.
    int pending() const;
    // Whether a body in the part file at partPath still waits for its name.
    bool holds(const QString &partPath) const;
    // Names none of the bodies handed in so far that are not being named yet: they
    // stay part files and are never reported; returns how many they are. A body
    // being named or waiting for the folder's flush is reported Unsettled at once;
    // reports that came before stay to be taken.
    int abandon();

private:
    struct State;
    static void flushLoop(const std::shared_ptr<State> &state);
    static void nameLoop(const std::shared_ptr<State> &state);
    std::shared_ptr<State> m;
};
