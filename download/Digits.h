#pragma once

#include <QByteArrayView>
#include <QtGlobal>

#include <limits>

// Numbers in HTTP fields (lengths, byte ranges) are plain ASCII digits: no sign, no
// blank, no base prefix. One parser for all of them, so that none of them can wrap
// around on a hostile value.
enum class Digits { Number, NotDigits, TooLarge };

// text as a non-negative number in *value; an empty text is NotDigits. The first
// fault from the left decides which one is reported.
inline Digits parseDigits(QByteArrayView text, qint64 *value)
{
    if (text.isEmpty())
        return Digits::NotDigits;
    qint64 n = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            return Digits::NotDigits;
        const int digit = c - '0';
        if (n > (std::numeric_limits<qint64>::max() - digit) / 10)
            return Digits::TooLarge;
        n = n * 10 + digit;
    }
    *value = n;
    return Digits::Number;
}

// The byte a %XX escape at text[at] stands for (RFC 3986), or -1 when there is none.
inline int percentEscape(QByteArrayView text, qsizetype at)
{
    const auto hex = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        c = char(c | 0x20);
        return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    if (at + 2 >= text.size() || text[at] != '%')
        return -1;
    const int high = hex(text[at + 1]);
    const int low = hex(text[at + 2]);
    return high < 0 || low < 0 ? -1 : high * 16 + low;
}
