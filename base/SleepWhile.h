#pragma once

#include <QDeadlineTimer>

#include <functional>
#include <optional>

// Sleeps in the event loop while busy() holds, until the deadline at the latest: the
// window is served meanwhile and the thread takes no CPU. True when busy() ended.
bool sleepWhile(const std::function<bool()> &busy, QDeadlineTimer deadline);

// Runs work in a thread of its own and sleeps in the event loop until it has ended or
// the deadline has passed: for a call that may wait for the disk, which the window's
// thread never does. The work's result, or nothing when the deadline came first (the
// work then ends unseen).
std::optional<int> runAside(std::function<int()> work, QDeadlineTimer deadline);
