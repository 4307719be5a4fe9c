#pragma once

#include "download/request/Checksum.h"

#include <QList>
#include <QString>

#include <memory>

// Checks a body against the sums its link names. A thread of its own hashes the body
// from its first byte while it is written, and after that while the
// run reads the body back, so the hash costs neither the transfer nor the run its
// time. A body continued from kept bytes is so hashed whole: the kept part is read back
// once, before the new bytes, and never trusted on its own.
class BodyHash
{
public:
    // The thread reads this much at a time.
    static constexpr qsizetype BlockSize = 1024 * 1024;

    struct Verdict
    {
        bool ok = true;
        qint32 code = 0; // a TransferError code when not ok
        QString text;    // German, safe to show
        QString checked; // the algorithms that matched, "sha256" or "sha256, sha512"
    };

    BodyHash();
    ~BodyHash();
    BodyHash(const BodyHash &) = delete;
    BodyHash &operator=(const BodyHash &) = delete;

    // Starts on a new body written through fd (which stays the caller's), dropping
    // any other.
    void start(const QList<Checksum::Sum> &sums, int fd);
    // The body is whole at size bytes, all of them in the file.
    void complete(qint64 size);
    // Waits for the thread and compares; a complete body only. Ok when nothing was
    // started. The verdict stays until the next start or stop.
    Verdict finish();
    // Drops the body and the verdict.
    void stop();
    // What finish found to match; empty before.
    QString checked() const { return m_worker ? QString() : m_verdict.checked; }

private:
    class Worker;
    std::unique_ptr<Worker> m_worker;
    bool m_complete = false;
    Verdict m_verdict;
};
