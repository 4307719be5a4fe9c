#include "log/SafeText.h"

#include <QList>

bool isHiddenCharacter(char32_t c)
{
    return c < 0x20 || c == 0x7f || (c >= 0x80 && c < 0xa0) || c == 0x2028 || c == 0x2029
        || QChar::category(c) == QChar::Other_Format;
}

namespace {
QString escaped(char32_t c)
{
    if (c < 0x100)
        return QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    return QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
}

// Most text needs no change; it is then shared, not rebuilt character by character.
bool needsEscaping(const QString &text)
{
    for (const QChar c : text) {
        if (c == u'\\' || c.isSurrogate() || isHiddenCharacter(c.unicode()))
            return true;
    }
    return false;
}
} // namespace

QString safeText(const QString &text)
{
    if (!needsEscaping(text))
        return text;
    QString out;
    out.reserve(text.size());
    for (const char32_t c : text.toUcs4()) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (isHiddenCharacter(c))
            out += escaped(c);
        else
            out += QString::fromUcs4(&c, 1);
    }
    return out;
}

QString safeText(const QByteArray &latin1Bytes)
{
    return safeText(QString::fromLatin1(latin1Bytes));
}

QString safeUrl(const QString &url)
{
    // Only the authority can hold a password: between "//" and the first of / ? #.
    const qsizetype start = url.indexOf(QStringLiteral("//"));
    if (start < 0)
        return safeText(url);
    qsizetype end = url.size();
    for (const QChar stop : {u'/', u'?', u'#'}) {
        const qsizetype at = url.indexOf(stop, start + 2);
        if (at >= 0 && at < end)
            end = at;
    }
    const qsizetype at = url.lastIndexOf(u'@', end - 1);
    if (at < start + 2)
        return safeText(url);
    const qsizetype colon = url.indexOf(u':', start + 2);
    if (colon < 0 || colon > at)
        return safeText(url);
    return safeText(url.left(colon + 1) + QStringLiteral("***") + url.mid(at));
}
