#pragma once

#include "base/UniqueFd.h"

#include <QString>

// One instance per program folder: a kernel lock (flock) on a lock file there. The
// lock ends with the process that holds it, however it ends, so nothing a lock file
// holds, and no lock file left behind, can keep a later start out.
class InstanceLock
{
public:
    enum class Result { Locked, HeldElsewhere, Failed };

    explicit InstanceLock(const QString &path);
    ~InstanceLock();
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

    Result tryLock();
    // The errno of a failed tryLock.
    int error() const { return m_error; }
    bool isLocked() const { return m_fd.valid(); }
    // Removes the lock file and lets go.
    void unlock();

private:
    QString m_path;
    UniqueFd m_fd;
    int m_error = 0;
};
