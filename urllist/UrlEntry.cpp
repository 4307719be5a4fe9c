#include "urllist/UrlEntry.h"

UrlEntry UrlEntry::parse(const QString &line)
{
    UrlEntry entry;
    const qsizetype p = line.indexOf(Separator);
    // A link ending in "/" has an empty name, so its line starts with the separator;
    // reading the list file trims that leading blank away.
    static const QString trimmedSeparator = Separator.mid(1);
    if (p < 0 && line.startsWith(trimmedSeparator)) {
        entry.url = line.mid(trimmedSeparator.size());
        return entry;
    }
    if (p < 0) {
        entry.hasSeparator = false;
        entry.url = line;
        entry.fileName = FileNameFromUrl(line);
    } else {
        entry.fileName = line.left(p);
        entry.url = line.mid(p + Separator.size());
    }
    return entry;
}

QString UrlEntry::make(const QString &url)
{
    return FileNameFromUrl(url) + Separator + url;
}

QString FileNameFromUrl(const QString &url)
{
    for (qsizetype i = url.size() - 1; i >= 0; --i) {
        const QChar c = url.at(i);
        if (c == u'\\' || c == u'/' || c == u':')
            return url.mid(i + 1);
    }
    return url;
}

QString SafeFileName(const QString &name)
{
    if (name.isEmpty())
        return QStringLiteral("index.html");
    if (name == u"." || name == u"..")
        return u'_' + name;
    QString safe = name;
    for (QChar &c : safe) {
        if (c == u'/' || c.unicode() < 32 || c.unicode() == 127)
            c = u'_';
    }
    // File systems take 255 bytes per name; leave room for a "(n)" prefix. Cut at
    // whole characters, keeping the end, where the extension is.
    constexpr qsizetype MaxBytes = 240;
    while (safe.toUtf8().size() > MaxBytes) {
        qsizetype cut = 1;
        if (safe.size() > 1 && safe.at(0).isHighSurrogate())
            cut = 2;
        safe.remove(0, cut);
    }
    return safe;
}
