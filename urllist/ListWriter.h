#pragma once

#include "urllist/ListFileDisk.h"

#include <QByteArray>
#include <QList>
#include <QObject>

#include <memory>
#include <thread>

// Writes the list file in a thread of its own, so that the window never waits for the
// disk: a whole new list costs two flushes, tens of milliseconds each on a USB stick
// or a network share. It takes one write at a time; what the next one holds is the
// list's to decide, so that saves asked for meanwhile merge into it.
class ListWriter : public QObject
{
    Q_OBJECT

public:
    struct Job
    {
        // What the file is to hold, line by line.
        QList<QByteArray> lines;
        // The state the file is expected in: another program's write since fails the job.
        ListFileDisk::Stamp stamp;
        // At least 0 when the file only loses lines off its end: it is cut to this size.
        off_t cutTo = -1;
    };
    struct Done
    {
        // 0, the errno, or ListFileDisk::ChangedMeanwhile.
        int error = 0;
        // Whether the file holds the job's lines now, also when a flush after the swap
        // failed (error is then set all the same).
        bool landed = false;
        ListFileDisk::Stamp stamp;
        // For a whole rewrite: its time, the wait for the disk left out.
        qint64 rewriteNs = -1;
    };

    explicit ListWriter(const ListFileDisk &disk, QObject *parent = nullptr);
    // Waits for a write under way only when it is sure to end soon: a write stuck in a
    // flush is left to finish on its own, whatever it leaves is a whole list.
    ~ListWriter() override;

    // Hands a job over; finished() tells its end in the owner's thread. Only while no
    // job is under way. False when no thread could be started for it.
    bool start(Job job);
    bool busy() const { return m_busy; }

Q_SIGNALS:
    void finished(const ListWriter::Done &done);

private:
    struct Shared;
    static void writeLoop(std::shared_ptr<Shared> shared);
    static Done write(const ListFileDisk &disk, const Job &job);
    void deliver(const Done &done);

    ListFileDisk m_disk;
    std::shared_ptr<Shared> m_shared;
    std::thread m_thread;
    bool m_busy = false;
};
