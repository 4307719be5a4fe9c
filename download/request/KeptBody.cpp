#include "download/request/KeptBody.h"

#include "download/request/ResumeCheck.h"

#include <algorithm>

void KeptBody::begin(PartFile *part, const QString &dir, const QString &url)
{
    clear();
    m_part = part;
    m_dir = dir;
    m_url = url;
    m_kept = part->findKept(dir, url);
    // A kept body that is already whole still asks for its last byte: the answer
    // shows whether it is still the same version.
    if (m_kept.size > 0)
        m_from = std::min(m_kept.size, m_kept.total - 1);
}

void KeptBody::clear()
{
    m_kept = {};
    m_from = -1;
    m_resumedFrom = 0;
}

void KeptBody::forget()
{
    if (m_part)
        m_part->discard();
    clear();
}

bool KeptBody::configure(CURL *easy)
{
    m_headers.reset();
    if (m_from < 0)
        return true;
    m_headers.reset(curl_slist_append(nullptr, ("If-Range: " + m_kept.validator).constData()));
    return m_headers && curl_easy_setopt(easy, CURLOPT_RANGE, (QByteArray::number(m_from) + '-').constData()) == CURLE_OK
        && curl_easy_setopt(easy, CURLOPT_HTTPHEADER, m_headers.get()) == CURLE_OK;
}

bool KeptBody::startsOver(CURL *easy, long status) const
{
    if (m_from < 0)
        return false;
    return status == 416 || (status == 206 && !ResumeCheck::fits(easy, m_from, m_kept.validator, m_kept.total));
}

qint64 KeptBody::take(CURL *easy, long status)
{
    if (status == 206 && m_from >= 0) {
        m_part->resume(m_from);
        m_resumedFrom = m_from;
        return m_kept.total;
    }
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        length = -1;
    m_part->open(m_dir, m_url, ResumeCheck::validatorOf(easy), length);
    return length;
}
