#pragma once

#include "download/request/BodyHash.h"
#include "download/request/Checksum.h"
#include "download/request/CurlHandles.h"
#include "download/request/KeptBody.h"
#include "download/request/RequestPolicy.h"
#include "download/request/ResponseName.h"
#include "download/request/StallRule.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class CurlDriver;
class PartFile;

// One GET with its redirects, each hop a request of its own that libcurl reads and we
// judge (RequestPolicy). Reports the numbered states through the sink, writes the
// accepted body into the part file as it arrives, and ends in exactly one of
// finished or failed. Nothing is held forever (StallRule): the head must be complete
// within the time-out after the request went out, and the body must bring at least
// StallRule::FloorBytes in every time-out period.
//
// A body an earlier request of the URL left is continued where it fits (KeptBody).
class HttpTransfer : public QObject
{
    Q_OBJECT

public:
    // A redirect's own body is thrown away; a server sending more is not redirecting.
    static constexpr qint64 RedirectBodyLimit = 1024 * 1024;
    // A response head larger than this is a flood, not a head.
    static constexpr qint64 HeadLimit = 256 * 1024;
    // What libcurl reads from the socket at once.
    static constexpr long ReceiveBufferBytes = 512 * 1024;

    struct Sink
    {
        std::function<void(qint16 state)> state;
        std::function<void()> ended; // after the final state was queued
    };

    HttpTransfer(CurlDriver *driver, Sink sink, QObject *parent = nullptr);
    ~HttpTransfer() override;

    void start(const QString &url, PartFile *body, const QString &bodyDir, int timeoutMs);
    // Ends the transfer at once; only the closing of its connection is reported.
    void stop();
    // Forgets the outcome of the last transfer.
    void reset();
    // The driver's word that this transfer's current hop ended.
    void hopDone(CURL *easy, CURLcode result);

    bool running() const { return bool(m_easy); }
    // The current hop's answer is the one whose body is the file.
    bool bodyTaken() const { return m_bodyTaken; }
    bool failed() const { return m_failed; }
    qint32 code() const { return m_code; }
    QString info() const { return m_info; }
    int httpStatus() const { return m_httpStatus; }
    // Of the whole body, counting what an earlier request left.
    qint64 received() const { return m_kept.resumedFrom() + m_received; }
    qint64 announced() const { return m_announced; }
    // Whether the failure may pass: a cut, a time-out, a server busy for a moment.
    bool failurePasses() const { return m_passing; }
    // The wait the server asked for before another try (Retry-After); -1 if none.
    int retryAfterS() const { return m_retryAfterS; }
    // Where this request took up the kept body; 0 when the body came from its start.
    qint64 resumedFrom() const { return m_kept.resumedFrom(); }
    // What the response that brought the body says about its name.
    const ResponseName &responseName() const { return m_name; }
    // The list's URL without credentials.
    QByteArray source() const { return m_policy.source(); }
    // Waits until the finished body is hashed and compares it with the sums its link
    // names; ok when it names none.
    BodyHash::Verdict checkSums() { return m_hash.finish(); }
    // Whether checkSums would wait for the hash of the complete body.
    bool hashing() const { return m_hash.hashing(); }
    // The algorithms whose sums checkSums found to match.
    QString checkedSums() const { return m_hash.checked(); }

private:
    using Phase = StallRule::Phase;

    static curl_socket_t openSocket(void *clientp, curlsocktype, struct curl_sockaddr *address);
    static int closeSocket(void *clientp, curl_socket_t fd);
    static int prereq(void *clientp, char *, char *, int, int);
    static size_t header(char *data, size_t size, size_t count, void *userp);
    static size_t write(char *data, size_t size, size_t count, void *userp);

    void startHop(const QByteArray &url);
    bool configure(CURL *easy, const QByteArray &url);
    size_t headLine(const QByteArray &line);
    bool headEnded();
    bool refuseStatus(long status);
    bool takeBody(long status);
    void startOver();
    size_t bodyData(const char *data, size_t length);
    void enterPhase(Phase phase);
    void watchdogFired();
    void releaseEasy();
    void finishHop(CURLcode result);
    void fail(qint32 code, const QString &info, bool passing = false);
    void refuse(qint32 code, const QString &info, bool passing = false);
    void queue(qint16 state);

    CurlDriver *m_driver;
    Sink m_sink;
    CurlEasy m_easy;
    RequestPolicy m_policy;
    PartFile *m_body = nullptr;
    QString m_bodyDir;
    QString m_url;
    KeptBody m_kept;
    // The sums the link names, and the hash of the body that is to match them.
    QList<Checksum::Sum> m_sums;
    BodyHash m_hash;
    bool m_startOver = false;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
    int m_timeoutMs = 45000;
    QTimer m_watchdog;
    Phase m_phase = Phase::Connect;
    qint64 m_windowStart = 0;
    bool m_destroying = false;

    // The current hop.
    bool m_resolved = false;
    bool m_connecting = false;
    bool m_responding = false;
    bool m_inHead = false;
    bool m_headDone = false;
    bool m_redirect = false;
    bool m_bodyTaken = false;
    qint64 m_headBytes = 0;
    QByteArray m_statusLine;
    qint64 m_redirectBody = 0;

    // The request as a whole.
    struct Refusal
    {
        qint32 code;
        QString info;
        bool passing;
    };
    std::optional<Refusal> m_refusal; // decided by us inside a callback
    bool m_failed = false;
    bool m_passing = false;
    int m_retryAfterS = -1;
    qint32 m_code = 0;
    QString m_info;
    int m_httpStatus = 0;
    qint64 m_received = 0;
    qint64 m_announced = -1;
    ResponseName m_name;
};
