#pragma once

#include "download/request/CurlHandles.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;
class TlsTrust;

// Runs libcurl transfers from the Qt event loop of the thread it lives on: socket
// notifiers and one timer, as libcurl asks for them. Each socket's notifiers hang on
// the socket itself (curl_multi_assign), each transfer's owner on its easy handle
// (CURLINFO_PRIVATE), so nothing is looked up by number.
class CurlDriver : public QObject
{
    Q_OBJECT

public:
    // Called once per finished transfer, with libcurl's verdict.
    using DoneHandler = std::function<void(CURL *easy, CURLcode result)>;

    explicit CurlDriver(QObject *parent = nullptr);
    ~CurlDriver() override;

    void setDoneHandler(DoneHandler handler) { m_done = std::move(handler); }
    // Called after each round of libcurl work, once its callbacks have all run.
    void setAfterAction(std::function<void()> handler) { m_after = std::move(handler); }

    // What the transfers share across their connections: the addresses looked up and
    // the TLS sessions, so the next connection to a host resumes its session instead
    // of a full handshake. Null when libcurl has none to give.
    CURLSH *share() const { return m_share.get(); }
    // Whom https servers must lead to, decided at the first request after the last
    // forgetTrust().
    const TlsTrust &trust();
    // Drops the trust and, with it, the TLS sessions made under it: a resumed session
    // skips the check of the server's chain. Only while no transfer runs.
    void forgetTrust();

    // False when libcurl refuses the handle; nothing runs then.
    bool add(CURL *easy);
    // Stops a transfer; its sockets are closed or parked. Harmless for a handle that
    // was never added.
    void remove(CURL *easy);

private:
    struct Watch;
    static int socketCallback(CURL *easy, curl_socket_t fd, int what, void *userp, void *socketp);
    static int timerCallback(CURLM *multi, long timeoutMs, void *userp);
    void watch(curl_socket_t fd, int what, Watch *existing);
    void act(curl_socket_t fd, int flags);
    void collectDone();

    CurlMulti m_multi;
    CurlShare m_share;
    std::unique_ptr<TlsTrust> m_trust;
    QTimer m_timer;
    // The notifiers of closed sockets, ready for the next one; children of the driver.
    std::vector<Watch *> m_spare;
    // libcurl asked for its timer to fire at once while it was working: it is run
    // right after that round instead of through the event loop.
    bool m_runNow = false;
    DoneHandler m_done;
    std::function<void()> m_after;
    bool m_destroying = false;
};
