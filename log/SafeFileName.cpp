#include "log/SafeFileName.h"

#include "log/SafeText.h"

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
