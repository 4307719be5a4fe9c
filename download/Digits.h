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
