#include "urllist/UrlEntry.h"

#include "log/SafeText.h"

#include <QUrl>

UrlEntry UrlEntry::parse(const QString &line)
{
    UrlEntry entry;
    // A link ending in "/" has an empty name, so its line starts with the separator;
    // reading the list file trims that leading blank away. The URL may itself hold
    // " -> " further on.
    static const QString trimmedSeparator = Separator.mid(1);
    if (line.startsWith(trimmedSeparator)) {
        entry.url = line.mid(trimmedSeparator.size());
        return entry;
    }
    const qsizetype p = line.indexOf(Separator);
    if (p < 0) {
        entry.hasSeparator = false;
        entry.url = line;
        entry.fileName = fileNameFromUrl(line);
    } else {
        entry.fileName = line.left(p);
        entry.url = line.mid(p + Separator.size());
    }
    return entry;
}

QString UrlEntry::make(const QString &url)
{
    return fileNameFromUrl(url) + Separator + url;
}

QString fileNameFromUrl(const QString &url)
{
    // A fragment only points into the resource and is never sent, so it names nothing
    // ("guide.html#install", "…tar.gz#sha256=…"). Whether the link has one is the word
    // of the parser the request reads the link with first.
    const qsizetype end = url.contains(u'#') && QUrl(url.trimmed(), QUrl::TolerantMode).hasFragment() ? url.indexOf(u'#')
                                                                                                       : url.size();
    for (qsizetype i = end - 1; i >= 0; --i) {
        const QChar c = url.at(i);
        if (c == u'\\' || c == u'/' || c == u':')
            return url.mid(i + 1, end - i - 1);
    }
    return url.left(end);
}

namespace {
QString replaceUnsafe(const QString &name)
{
    QString safe;
    safe.reserve(name.size());
    for (qsizetype i = 0; i < name.size(); ++i) {
        const QChar c = name.at(i);
        char32_t code = c.unicode();
        const bool pair = c.isHighSurrogate() && i + 1 < name.size() && name.at(i + 1).isLowSurrogate();
        if (pair)
            code = QChar::surrogateToUcs4(c, name.at(i + 1));
        // A lone surrogate has no UTF-8 form; the name on disk would not be this one.
        if (code == u'/' || (!pair && c.isSurrogate()) || isHiddenCharacter(code))
            safe += u'_';
        else if (pair)
            safe.append(c).append(name.at(i + 1));
        else
            safe += c;
        i += pair ? 1 : 0;
    }
    return safe;
}
} // namespace

QString safeFileName(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("index.html");
    if (name == u"." || name == u"..")
        return u'_' + name;
    QString safe = replaceUnsafe(name);
    // File systems take 255 bytes per name; leave room for a "(n)" prefix. Cut at
    // whole characters, keeping the end, where the extension is. One pass from the
    // end: a link can carry a query string of megabytes.
    constexpr qsizetype MaxBytes = 240;
    qsizetype bytes = 0;
    qsizetype keep = safe.size();
    while (keep > 0) {
        qsizetype start = keep - 1;
        qsizetype size = 0;
        const char16_t c = safe.at(start).unicode();
        if (QChar::isLowSurrogate(c) && start > 0 && safe.at(start - 1).isHighSurrogate()) {
            --start;
            size = 4;
        } else {
            size = c < 0x80 ? 1 : c < 0x800 ? 2 : 3;
        }
        if (bytes + size > MaxBytes)
            break;
        bytes += size;
        keep = start;
    }
    safe.remove(0, keep);
    return safe;
}
