#include "download/request/ResumeCheck.h"

#include "download/Digits.h"

namespace {
// The value of a field that occurs exactly once in the final response.
QByteArray singleField(CURL *easy, const char *name)
{
    curl_header *field = nullptr;
    if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &field) != CURLHE_OK || !field || field->amount != 1)
        return {};
    return QByteArray(field->value);
}

bool printable(QByteArrayView text, char lowest)
{
    for (const char c : text) {
        if (c < lowest || c > '~')
            return false;
    }
    return true;
}

// Digits up to the next separator; false for none, for overflow or anything else.
bool number(QByteArrayView text, qsizetype *pos, char end, qint64 *value)
{
    const qsizetype start = *pos;
    while (*pos < text.size() && text.at(*pos) >= '0' && text.at(*pos) <= '9')
        ++*pos;
    qint64 n = 0;
    if ((*pos - start > 1 && text.at(start) == '0') || parseDigits(text.sliced(start, *pos - start), &n) != Digits::Number)
        return false;
    if (end != 0) {
        if (*pos >= text.size() || text.at(*pos) != end)
            return false;
        ++*pos;
    }
    *value = n;
    return true;
}
} // namespace

std::optional<ResumeCheck::Range> ResumeCheck::parseContentRange(QByteArrayView value)
{
    constexpr QByteArrayView Unit = "bytes ";
    if (!value.startsWith(Unit))
        return std::nullopt;
    Range range;
    qsizetype pos = Unit.size();
    if (!number(value, &pos, '-', &range.first) || !number(value, &pos, '/', &range.last)
        || !number(value, &pos, 0, &range.total) || pos != value.size())
        return std::nullopt;
    if (range.first > range.last || range.last >= range.total)
        return std::nullopt;
    return range;
}

QByteArray ResumeCheck::validatorOf(CURL *easy)
{
    const QByteArray etag = singleField(easy, "ETag");
    // A weak tag never matches an If-Range; only a strong one says "these bytes".
    if (etag.size() >= 2 && etag.startsWith('"') && etag.endsWith('"') && etag.size() <= 1024
        && printable(etag, '!') && !etag.mid(1, etag.size() - 2).contains('"'))
        return etag;
    const QByteArray modified = singleField(easy, "Last-Modified");
    if (!modified.isEmpty() && modified.size() <= 64 && printable(modified, ' '))
        return modified;
    return {};
}

bool ResumeCheck::fits(CURL *easy, qint64 from, const QByteArray &validator, qint64 total)
{
    const QByteArray value = singleField(easy, "Content-Range");
    const std::optional<Range> range = parseContentRange(value);
    if (!range || range->first != from || range->last != total - 1 || range->total != total)
        return false;
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK)
        return false;
    if (length >= 0 && length != total - from)
        return false;
    return !validator.isEmpty() && validatorOf(easy) == validator;
}
