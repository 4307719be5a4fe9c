#include "download/request/CurlDriver.h"

#include "download/request/TlsTrust.h"

#include <QSocketNotifier>

#include <algorithm>
#include <mutex>

namespace {
void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// A day is as good as never for a timer libcurl wants later than that.
constexpr long LongestTimerMs = 24L * 3600 * 1000;
// Rounds run back to back for a timer libcurl wants at once; then the event loop gets
// its turn, so that a fast body cannot starve the window or a cancel.
constexpr int MostRoundsInARow = 16;

CurlShare makeShare()
{
    // One thread drives every transfer, so the share needs no locks.
    CurlShare share(curl_share_init());
    if (share
        && (curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS) != CURLSHE_OK
            || curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION) != CURLSHE_OK))
        share.reset();
    return share;
}
} // namespace

// The notifiers of one socket; a child of the driver, so whatever libcurl still holds
// when the driver goes is freed with it.
struct CurlDriver::Watch : QObject
{
    using QObject::QObject;
    curl_socket_t fd = CURL_SOCKET_BAD;
    QSocketNotifier *read = nullptr;
    QSocketNotifier *write = nullptr;
};

CurlDriver::CurlDriver(QObject *parent)
    : QObject(parent)
{
    initCurlOnce();
    m_multi.reset(curl_multi_init());
    if (m_multi) {
        curl_multi_setopt(m_multi.get(), CURLMOPT_SOCKETFUNCTION, &CurlDriver::socketCallback);
        curl_multi_setopt(m_multi.get(), CURLMOPT_SOCKETDATA, this);
        curl_multi_setopt(m_multi.get(), CURLMOPT_TIMERFUNCTION, &CurlDriver::timerCallback);
        curl_multi_setopt(m_multi.get(), CURLMOPT_TIMERDATA, this);
    }
    m_share = makeShare();
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlDriver::~CurlDriver()
{
    // Callbacks during the cleanup find the driver half gone: they must do nothing.
    m_destroying = true;
    m_multi.reset();
    // After the multi handle: no transfer may still use it.
    m_share.reset();
}

const TlsTrust &CurlDriver::trust()
{
    if (!m_trust)
        m_trust = TlsTrust::fromEnvironment();
    return *m_trust;
}

void CurlDriver::forgetTrust()
{
    m_trust.reset();
    m_share = makeShare();
}

bool CurlDriver::add(CURL *easy)
{
    return m_multi && easy && curl_multi_add_handle(m_multi.get(), easy) == CURLM_OK;
}

void CurlDriver::remove(CURL *easy)
{
    if (m_multi && easy) {
        // Fails only for a handle that is not ours, which leaves nothing to undo.
        const CURLMcode rc = curl_multi_remove_handle(m_multi.get(), easy);
        Q_UNUSED(rc);
    }
}

int CurlDriver::socketCallback(CURL *, curl_socket_t fd, int what, void *userp, void *socketp)
{
    auto *self = static_cast<CurlDriver *>(userp);
    if (self->m_destroying)
        return 0;
    auto *existing = static_cast<Watch *>(socketp);
    if (what == CURL_POLL_REMOVE) {
        if (existing) {
            // Kept for the next socket rather than deleted: a list of small files opens
            // a connection per entry. Its notifier may be the one whose signal is being
            // delivered right now, which a disabled notifier survives.
            for (QSocketNotifier *notifier : {existing->read, existing->write}) {
                if (notifier)
                    notifier->setEnabled(false);
            }
            existing->fd = CURL_SOCKET_BAD;
            self->m_spare.push_back(existing);
            curl_multi_assign(self->m_multi.get(), fd, nullptr);
        }
        return 0;
    }
    self->watch(fd, what, existing);
    return 0;
}

void CurlDriver::watch(curl_socket_t fd, int what, Watch *existing)
{
    Watch *w = existing;
    if (!w) {
        if (m_spare.empty()) {
            w = new Watch(this);
        } else {
            w = m_spare.back();
            m_spare.pop_back();
        }
        if (curl_multi_assign(m_multi.get(), fd, w) != CURLM_OK) {
            m_spare.push_back(w);
            return;
        }
        w->fd = fd;
        for (QSocketNotifier *notifier : {w->read, w->write}) {
            if (notifier)
                notifier->setSocket(fd);
        }
    }
    const bool wantRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool wantWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    if (wantRead && !w->read) {
        w->read = new QSocketNotifier(fd, QSocketNotifier::Read, w);
        connect(w->read, &QSocketNotifier::activated, this, [this, w] { act(w->fd, CURL_CSELECT_IN); });
    }
    if (wantWrite && !w->write) {
        w->write = new QSocketNotifier(fd, QSocketNotifier::Write, w);
        connect(w->write, &QSocketNotifier::activated, this, [this, w] { act(w->fd, CURL_CSELECT_OUT); });
    }
    if (w->read)
        w->read->setEnabled(wantRead);
    if (w->write)
        w->write->setEnabled(wantWrite);
}

int CurlDriver::timerCallback(CURLM *, long timeoutMs, void *userp)
{
    auto *self = static_cast<CurlDriver *>(userp);
    if (self->m_destroying)
        return 0;
    self->m_runNow = false;
    if (timeoutMs < 0) {
        self->m_timer.stop();
    } else if (timeoutMs == 0) {
        // Typically "more data is waiting": a round trip through the event loop would
        // cost more than the work. act() runs it right away; the timer is the
        // fallback for a request made outside a round (adding a handle).
        self->m_runNow = true;
        self->m_timer.start(0);
    } else {
        self->m_timer.start(int(std::min(timeoutMs, LongestTimerMs)));
    }
    return 0;
}

void CurlDriver::act(curl_socket_t fd, int flags)
{
    if (!m_multi)
        return;
    int running = 0;
    for (int round = 0; round < MostRoundsInARow; ++round) {
        m_runNow = false;
        const CURLMcode rc = curl_multi_socket_action(m_multi.get(), fd, flags, &running);
        if (rc != CURLM_OK && rc != CURLM_BAD_SOCKET)
            qWarning("libcurl: %s", curl_multi_strerror(rc));
        collectDone();
        if (!m_runNow)
            break;
        // The timer stays armed: libcurl calls back only when its next time-out
        // changes, and a round that leaves it unchanged must still be followed.
        fd = CURL_SOCKET_TIMEOUT;
        flags = 0;
    }
    if (m_after)
        m_after();
}

void CurlDriver::collectDone()
{
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi.get(), &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        // The handler may remove the handle or start the next one; the message is
        // copied out first, as libcurl frees it then.
        CURL *easy = message->easy_handle;
        const CURLcode result = message->data.result;
        if (m_done)
            m_done(easy, result);
    }
}
