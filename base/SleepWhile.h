#pragma once

#include <QDeadlineTimer>

#include <functional>

// Sleeps in the event loop while busy() holds, until the deadline at the latest: the
// window is served meanwhile and the thread takes no CPU. True when busy() ended.
bool sleepWhile(const std::function<bool()> &busy, QDeadlineTimer deadline);
