#include "download/request/HttpTransfer.h"

#include "download/request/RetryPolicy.h"
#include "download/store/PartFile.h"
#include "download/StateCode.h"
#include "download/TransferError.h"

#include <algorithm>
#include <climits>

// How a transfer reads the head of each answer and decides what becomes of its body,
// apart from the transfer's life cycle so that both stay readable.

size_t HttpTransfer::header(char *data, size_t size, size_t count, void *userp)
{
    auto *self = static_cast<HttpTransfer *>(userp);
    return self->headLine(QByteArray::fromRawData(data, qsizetype(size * count)));
}

size_t HttpTransfer::headLine(const QByteArray &line)
{
    m_headBytes += line.size();
    if (m_headBytes > HeadLimit) {
        refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: Kopfzeilen zu groß"));
        return 0;
    }
    if (m_headDone)
        return size_t(line.size()); // trailer fields after a chunked body
    if (!m_inHead) {
        // The first line of a response: its status line.
        m_inHead = true;
        m_statusLine = QByteArray(line.constData(), line.size());
        if (!m_responding) {
            m_responding = true;
            queue(Receiving);
        }
        return size_t(line.size());
    }
    if (line != "\r\n" && line != "\n")
        return size_t(line.size());
    m_inHead = false;
    return headEnded() ? size_t(line.size()) : 0;
}

// The empty line after a head: libcurl has read the status and the fields.
bool HttpTransfer::headEnded()
{
    // Should libcurl not say, 0 stands for a status nobody asked for.
    const long status = curlInfo(m_easy.get(), CURLINFO_RESPONSE_CODE, 0L);
    if (status >= 100 && status < 200 && status != 101)
        return true; // an interim answer; the real one follows on this hop
    m_headDone = true;
    enterPhase(Phase::Body);
    if (status >= 300 && status < 400) {
        m_redirect = true;
        return true;
    }
    if (m_kept.startsOver(m_easy.get(), status)) {
        // The kept bytes cannot be continued by this answer: ask for the whole body.
        m_startOver = true;
        return false;
    }
    if (status >= 400)
        return refuseStatus(status);
    const RequestPolicy::Verdict verdict = RequestPolicy::checkHead(m_easy.get(), status, m_kept.ranged());
    if (!verdict.ok) {
        refuse(verdict.code, verdict.text);
        return false;
    }
    return takeBody(status);
}

bool HttpTransfer::refuseStatus(long status)
{
    // An error page is not the file; stop here instead of fetching it.
    m_httpStatus = int(status);
    curl_off_t after = 0;
    if (curl_easy_getinfo(m_easy.get(), CURLINFO_RETRY_AFTER, &after) == CURLE_OK && after > 0)
        m_retryAfterS = int(std::min<curl_off_t>(after, INT_MAX));
    refuse(int(status), RequestPolicy::statusText(m_statusLine, status), RetryPolicy::statusPasses(status));
    return false;
}

bool HttpTransfer::takeBody(long status)
{
    try {
        m_announced = m_kept.take(m_easy.get(), status);
    } catch (const FileError &e) {
        refuse(TransferError::PartFileFailure, QStringLiteral("Datei im Download-Ordner nicht anlegbar: ") + e.description());
        return false;
    }
    if (!m_sums.isEmpty())
        m_hash.start(m_sums, m_body->descriptor());
    m_bodyTaken = true;
    m_name.take(m_easy.get(), m_policy.hops() > 0);
    return true;
}
