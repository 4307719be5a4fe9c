#include "urllist/UrlEntry.h"

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
