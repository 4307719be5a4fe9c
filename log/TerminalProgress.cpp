#include "log/TerminalProgress.h"

#include "base/FileIo.h"
#include "log/ActivityLog.h"
#include "log/TransferProgress.h"

#include <algorithm>
#include <sys/ioctl.h>
#include <unistd.h>

TerminalProgress::TerminalProgress(TransferProgress *progress, int fd, ActivityLog *log, QObject *parent)
    : QObject(parent)
    , m_progress(progress)
    , m_fd(::isatty(fd) ? fd : -1)
    , m_log(log)
{
    if (m_fd < 0)
        return;
    connect(m_progress, &TransferProgress::changed, this, &TerminalProgress::draw);
    connect(m_progress, &TransferProgress::finished, this, &TerminalProgress::clear);
    if (m_log) {
        m_log->setBeforeEcho([this] { clear(); });
        m_hooked = true;
    }
}

TerminalProgress::~TerminalProgress()
{
    if (m_hooked)
        m_log->setBeforeEcho({});
    clear();
}

int TerminalProgress::columns() const
{
    struct winsize size = {};
    if (::ioctl(m_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

void TerminalProgress::draw()
{
    if (m_fd < 0 || !m_progress->active())
        return;
    // A line wider than the terminal would wrap, and "\r" could not take it back.
    QString text = m_progress->lineText();
    const int width = columns() - 1;
    if (text.size() > width)
        text.truncate(std::max(width, 0));
    write("\r\x1b[K" + text.toUtf8());
    m_shown = true;
}

void TerminalProgress::clear()
{
    if (m_fd < 0 || !m_shown)
        return;
    m_shown = false;
    write("\r\x1b[K");
}

void TerminalProgress::write(const QByteArray &bytes)
{
    // The terminal is gone (a closed ssh session); the run goes on without it.
    if (FileIo::writeAll(m_fd, bytes) != 0)
        m_fd = -1;
}
