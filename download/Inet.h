#pragma once

#include "download/CommitReport.h"
#include "download/TransferError.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

// The transfer component: one HTTP(S) GET at a time, driven from the event loop of
// the thread it lives on, reporting its progress as numbered states (StateCode):
//   1/2 name resolution, 3/4 connecting, 5/6 sending the request, 7 response arriving,
//   8 after the first piece of a body was handed out by GetChunk, 9/10 connection
//   closed, 11 failure, 12 request finished (after success and after failure alike).
// Each redirect hop reports its own 1 to 10. The body is written into a hidden part
// file in the body folder as it arrives; GetChunk reads it back, publishBody gives
// that same file its name. A body that does not arrive whole stays in its part file,
// and the next request for the same URL asks only for the rest; GetChunk still hands
// out the body from its first byte.
class Inet : public QObject
{
    Q_OBJECT

public:
    using Error = TransferError::Code;
    using enum TransferError::Code;

    // The request time-out unless told otherwise.
    static constexpr int DefaultRequestTimeoutS = 45;

    explicit Inet(QObject *parent = nullptr);
    ~Inet() override;

    // The response head must be complete this long after the request went out, and
    // the body must bring a little every period this long (see HttpTransfer).
    void setRequestTimeout(int seconds);
    int RequestTimeout() const;
    // Finer control for tests and benchmarks.
    void setRequestTimeoutMs(int milliseconds);

    // Where the part file of a body is made (the download folder); the temporary
    // folder unless set.
    void setPartDir(const QString &dir);

    // Starts a GET and returns at once. Ends any previous request and drops its body.
    // Reports a fresh state before returning, so a wait for 12 never ends on the
    // previous request's 12.
    void Execute(const QString &url);

    // The next piece of the finished response body, at most size bytes; empty at the
    // end. Throws TransferError when the request failed or, at the end, when the body
    // does not match the checksum its link names (ChecksumFailed; the body is dropped),
    // FileError when the part file cannot be read.
    QByteArray GetChunk(int size);
    // Whether the body's pieces are all handed out and its hash, which the last
    // GetChunk waits for, still runs. The event loop is woken when it ends: a caller
    // sleeps in it meanwhile, and the window is served.
    bool checkingSums() const;

    // The first free name among fileName, (1)fileName, ... in dir from *counter on,
    // leaving the next number there. Throws FileError.
    static QString chooseLocalPath(const QString &dir, const QString &fileName, int *counter);
    // Whether a download under fileName would be taken for one of the engine's own
    // hidden files in the download folder (and cleared away with them).
    static bool isOwnFileName(const QString &fileName);
    // At start: removes the hidden files in dir that no request for urls will continue,
    // and the records of arrivals of entries no longer listed.
    static void removeLeftovers(const QString &dir, const QStringList &urls, const QStringList &entries);

    // Hands the finished body to the disk, behind the next requests: its bytes are
    // flushed, it is named (path when free, else the next free numbered name of
    // fileName in dir after counter), and the folder is flushed, together with the
    // bodies handed in meanwhile. What became of it is reported (commitsReported,
    // CommitReport). Returns the body's ticket; throws FileError when its last bytes
    // cannot be written or nothing can be started to take it, and TransferError as
    // GetChunk does for a body that fails its checksum.
    // entry names the list line the body arrived for: until dropArrival, a record
    // lets arrivedBefore find the file again, should the entry not leave the list.
    quint64 commitBody(const QString &dir, const QString &fileName, const QString &path, int counter,
                       const QString &entry = {});
    using CommitReport = ::CommitReport;
    // What happened to committed bodies since the last call, in order.
    QList<CommitReport> takeCommitReports();
    // Bodies handed in and not yet durable or failed.
    int commitsPending() const;
    // Whether a body of url still waits for its name in the part file the next
    // request of url would take.
    bool committing(const QString &url) const;
    // The file an earlier commit of entry gave its name in dir, when its record proves
    // that this very file is still there under that name; then the folder is flushed
    // in a thread aside, so that the name is on the disk before the entry leaves the
    // list (error: the flush failed, or ETIMEDOUT when it outlasted deadline). An
    // empty path otherwise.
    struct Arrival
    {
        QString path;
        int error = 0;
    };
    static Arrival arrivedBefore(const QString &dir, const QString &entry, QDeadlineTimer deadline);
    // Once entry has left the list file: its record goes, the file stays.
    static void dropArrival(const QString &dir, const QString &entry);
    // Gives up on the bodies not yet being named: they stay part files and are never
    // reported; returns how many they are. Those being named or waiting for the
    // folder's flush are reported Unsettled at once.
    int abandonCommits();

    // Where the name of a finished body comes from: the list, the server's
    // Content-Disposition, the final URL of a redirect, or the link with its %XX
    // escapes decoded.
    enum class NameSource { List, Server, Redirect, Address };
    struct FileName
    {
        QString name;
        NameSource source = NameSource::List;
    };
    // For a finished body whose list name was derived from its link: the name a
    // browser would give it, fit for the download folder (one segment, no controls,
    // no invisible or direction characters, no leading dots). derivedName itself,
    // made safe, when the response suggests nothing better.
    FileName suggestedFileName(const QString &derivedName) const;

    // Ends the current request and its connection. An unpublished body stays in its
    // part file for the next request of its URL when it can be continued.
    void Cancel();
    // Forgets whom https servers must lead to, and the TLS sessions checked that way:
    // the next request reads the trust settings and, at its first https connection,
    // the bundle afresh. Ends the current request, if any.
    void forgetTrust();

    qint32 ResponseCode() const;
    QString ResponseInfo() const;

    // After a failed request: whether the failure may pass (worth another try), and
    // the wait in seconds the server asked for (-1 when it did not).
    bool failurePasses() const;
    int retryAfterS() const;
    // Tries of a passing failure after the first, and the pause before try number
    // retry (1 for the first) with firstWaitMs standing for a second; -1 when the
    // server asked for more patience than a run gives.
    static constexpr int MaxRetries = 3;
    static constexpr int FirstRetryWaitMs = 1000;
    qint64 retryWaitMs(int retry, int firstWaitMs) const;
    // Where the finished request took up the body an earlier one left; 0 when the
    // body came from its first byte.
    qint64 resumedFrom() const;
    // The algorithms ("sha256", …) whose sums, named in the link's fragment, the body
    // matched once GetChunk came to its end; empty when the link named none.
    QString checkedSums() const;

Q_SIGNALS:
    void StateChanged(qint16 State);
    // While the body arrives, at most about four times a second, and once when it is
    // complete; total is -1 when the server did not say.
    void progress(qint64 received, qint64 total);
    // Committed bodies have news for takeCommitReports.
    void commitsReported();
    // Once per request, when the answer whose body is the file has its head in: from
    // here on suggestedFileName knows what the server said.
    void bodyStarted();

private:
    class Private;
    std::unique_ptr<Private> d;
};
