#include "download/request/ResponseName.h"

#include "download/request/ContentDisposition.h"
#include "download/request/CurlHandles.h"
#include "download/Digits.h"
#include "log/SafeFileName.h"

#include <QStringDecoder>

#include <algorithm>

namespace {
bool hasExtension(const QString &name)
{
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 && dot < name.size() - 1;
}

// "latest", "download", "get.php?id=7": names that tell nothing of the file.
bool isPoorName(const QString &name)
{
    return name.contains(u'?') || !hasExtension(name);
}

QString lastPathSegment(const QString &url)
{
    QString path = url;
    for (const QChar stop : {u'#', u'?'}) {
        if (const qsizetype at = path.indexOf(stop); at >= 0)
            path.truncate(at);
    }
    const qsizetype authority = path.indexOf(QStringLiteral("//"));
    const qsizetype slash = path.lastIndexOf(u'/');
    return slash > authority + 1 && authority >= 0 ? path.mid(slash + 1) : QString();
}
} // namespace

void ResponseName::take(CURL *easy, bool redirected)
{
    clear();
    struct curl_header *field = nullptr;
    // Two fields would be two names; a browser refuses such an answer, we fall back.
    if (curl_easy_header(easy, "Content-Disposition", 0, CURLH_HEADER, -1, &field) == CURLHE_OK && field
        && field->amount == 1 && field->value)
        m_server = ContentDisposition::fileName(QByteArrayView(field->value));
    if (const char *effective = curlInfo<char *>(easy, CURLINFO_EFFECTIVE_URL, nullptr); redirected && effective)
        m_finalUrl = QString::fromUtf8(effective);
}

ResponseName::Choice ResponseName::choose(const QString &derivedName, const std::optional<QString> &serverName,
                                          const QString &finalUrl)
{
    if (serverName) {
        if (QString name = cleanName(*serverName); !name.isEmpty())
            return {name, Source::Server};
    }
    if (!finalUrl.isEmpty() && isPoorName(derivedName)) {
        // Only a segment that names a file: an opaque path of a mirror says less still.
        if (QString name = cleanName(decodePercent(lastPathSegment(finalUrl))); hasExtension(name))
            return {name, Source::Redirect};
    }
    const QString listName = safeFileName(derivedName);
    if (QString name = cleanName(decodePercent(derivedName)); !name.isEmpty() && name != listName)
        return {name, Source::Address};
    return {listName, Source::List};
}

QString ResponseName::decodePercent(const QString &name)
{
    if (!name.contains(u'%'))
        return name;
    const QByteArray in = name.toUtf8();
    QByteArray out;
    out.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        const int byte = percentEscape(in, i);
        // An escaped "/" or control stays escaped: decoded it would cut or hide the name.
        if (byte < 0x20 || byte == 0x7f || byte == '/') {
            out += in[i];
            continue;
        }
        out += char(byte);
        i += 2;
    }
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    const QString text = utf8.decode(out);
    return utf8.hasError() ? name : text;
}

QString ResponseName::cleanName(const QString &raw)
{
    // A path gives only its last segment: the name can never leave the folder.
    const qsizetype cut = std::max(raw.lastIndexOf(u'/'), raw.lastIndexOf(u'\\'));
    // No hidden file, no "." or "..", nothing that starts out of sight; again after
    // shortening, which keeps the end of a name.
    const auto trimmed = [](const QString &name) {
        qsizetype lead = 0;
        while (lead < name.size() && (name.at(lead) == u'.' || name.at(lead).isSpace()))
            ++lead;
        return name.mid(lead);
    };
    const QString name = trimmed(raw.mid(cut + 1));
    return name.isEmpty() ? name : trimmed(safeFileName(name));
}
