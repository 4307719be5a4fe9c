#include "urllist/UrlEntry.h"

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
    for (qsizetype i = url.size() - 1; i >= 0; --i) {
        const QChar c = url.at(i);
        if (c == u'\\' || c == u'/' || c == u':')
            return url.mid(i + 1);
    }
    return url;
}
