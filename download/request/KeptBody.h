#pragma once

#include "download/request/CurlHandles.h"
#include "download/store/PartFile.h"

#include <QString>

// The body of one request, and what an earlier request of its URL left in the part
// file. The request asks for the rest (Range and If-Range); only an answer that
// continues exactly that version is appended, a whole answer starts the body afresh,
// and an answer that fits neither way sends the request off again without a range.
class KeptBody
{
public:
    // Looks for what an earlier request of url left in dir.
    void begin(PartFile *part, const QString &dir, const QString &url);
    // Forgets the state of the last request; the part file stays as it is.
    void clear();
    // Gives the kept bytes up: the next request asks for the whole body.
    void forget();

    bool ranged() const { return m_from >= 0; }
    // Adds Range and If-Range to a request when there is something to continue.
    bool configure(CURL *easy);
    // Whether the final answer leaves the kept bytes behind: the rest cannot be had
    // (416), or a partial answer does not continue them exactly.
    bool startsOver(CURL *easy, long status) const;
    // Opens the body for an accepted answer: the rest of the kept one for a 206, a new
    // one otherwise. Returns the length of the whole body (-1 when not announced).
    // Throws FileError.
    qint64 take(CURL *easy, long status);
    // Where the body was taken up; 0 when it came from its first byte.
    qint64 resumedFrom() const { return m_resumedFrom; }

private:
    PartFile *m_part = nullptr;
    QString m_dir;
    QString m_url;
    PartFile::Kept m_kept;
    qint64 m_from = -1; // the N of "Range: bytes=N-"; -1 for no range
    qint64 m_resumedFrom = 0;
    CurlSlist m_headers;
};
