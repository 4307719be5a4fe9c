#pragma once

#include "download/request/Checksum.h"

#include <QList>
#include <QString>

#include <memory>
#include <vector>

// Checks a body against the sums its link names. A thread of its own hashes the body
// from its first byte while it is written, and after that while the run reads it back,
// so the hash costs neither the transfer nor the run its time. A body continued from
// kept bytes is so hashed whole: the kept part is read back once, before the new
// bytes, and never trusted on its own.
class BodyHash
{
public:
    // The thread reads this much at a time: small enough to stay in the cache beside
    // the hash, and to hand over quickly (complete).
    static constexpr qsizetype BlockSize = 256 * 1024;

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
    // any other. While the body grows the hash takes only time the processors would
    // idle away: on loopback or a fast line the transfer needs them all.
    void start(const QList<Checksum::Sum> &sums, int fd);
    // The body is whole at size bytes, all of them in the file. From here on the
    // hash runs at the program's own priority, so that a busy machine cannot starve
    // it, and wakes the event loop of the thread that started it when it ends.
    void complete(qint64 size);
    // Whether a complete body is still being hashed; finish would wait for it.
    bool hashing() const;
    // Waits for the thread and compares; a complete body only. Ok when nothing was
    // started. The verdict stays until the next start or stop.
    Verdict finish();
    // Drops the body and the verdict.
    void stop();
    // What finish found to match; empty before.
    QString checked() const { return m_worker ? QString() : m_verdict.checked; }

private:
    class Worker;
    // Ends the current body's hash without waiting for it.
    void letGo();
    std::unique_ptr<Worker> m_worker;
    // Told to stop, not yet ended; gone once they have.
    std::vector<std::unique_ptr<Worker>> m_leaving;
    bool m_complete = false;
    Verdict m_verdict;
};
