#include "urllist/ListFileFormat.h"

#include <QByteArrayView>
#include <QStringDecoder>

namespace {
const QByteArray Utf8Mark("\xEF\xBB\xBF");

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes it leaves
// undefined map to the C1 control of the same value, as Windows itself does, so no
// byte of a link is lost.
constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

QString fromWindows1252(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        *out++ = QChar(b >= 0x80 && b < 0xA0 ? Cp1252High[b - 0x80] : char16_t(b));
    }
    return text;
}

QByteArrayView trimBlanks(QByteArrayView bytes)
{
    while (!bytes.isEmpty() && bytes.front() == ' ')
        bytes = bytes.sliced(1);
    while (!bytes.isEmpty() && bytes.back() == ' ')
        bytes.chop(1);
    return bytes;
}

// A byte-order mark is no part of a link: one leading the file is the file's, and
// one leading a line is the trace of a list pasted together from files that had one.
bool appendLine(QList<ListLine> &lines, QByteArrayView bytes, bool atFileStart)
{
    bytes = trimBlanks(bytes);
    if (atFileStart && bytes.startsWith(Utf8Mark))
        bytes = trimBlanks(bytes.sliced(3));
    if (bytes.isValidUtf8()) {
        while (bytes.startsWith(Utf8Mark))
            bytes = trimBlanks(bytes.sliced(3));
        if (bytes.isEmpty())
            return false;
        lines.append({QString::fromUtf8(bytes), bytes.toByteArray()});
        return true;
    }
    ListLine line{fromWindows1252(bytes), bytes.toByteArray()};
    // Written back as they are, these would read as a byte-order mark once the line
    // heads the file.
    if (bytes.startsWith(Utf8Mark) || bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF"))
        line.bytes = line.text.toUtf8();
    lines.append(line);
    return true;
}

QList<ListLine> splitLines(const QString &text)
{
    QList<ListLine> lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    while (start < n) {
        qsizetype end = start;
        while (end < n && text.at(end) != u'\r' && text.at(end) != u'\n')
            ++end;
        qsizetype a = start, b = end;
        while (a < b && (text.at(a) == u' ' || text.at(a) == QChar::ByteOrderMark))
            ++a;
        while (b > a && text.at(b - 1) == u' ')
            --b;
        if (b > a)
            lines.append(lineFromText(text.mid(a, b - a)));
        if (end + 1 < n && text.at(end) == u'\r' && text.at(end + 1) == u'\n')
            ++end;
        start = end + 1;
    }
    return lines;
}
} // namespace

QList<ListLine> parseListLines(const QByteArray &bytes)
{
    // Notepad's "Unicode" files: without this they would load as a mess of NULs. They
    // are saved as UTF-8 lines; their texts stay the same.
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        QStringDecoder utf16(bytes.at(0) == '\xFF' ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        const QString text = utf16.decode(bytes);
        // Lone surrogates pass the decoder but have no form in any file we write.
        if (!utf16.hasError() && QStringView(text).isValidUtf16())
            return splitLines(text);
    }
    QList<ListLine> lines;
    const char *data = bytes.constData();
    const qsizetype n = bytes.size();
    qsizetype start = 0;
    while (start < n) {
        qsizetype end = start;
        while (end < n && data[end] != '\r' && data[end] != '\n')
            ++end;
        appendLine(lines, QByteArrayView(data + start, end - start), start == 0);
        if (end + 1 < n && data[end] == '\r' && data[end + 1] == '\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

QStringList parseListFile(const QByteArray &bytes)
{
    QStringList texts;
    for (const ListLine &line : parseListLines(bytes))
        texts.append(line.text);
    return texts;
}

ListLine lineFromText(const QString &text)
{
    return {text, text.toUtf8()};
}

QByteArray joinedLines(const QList<QByteArray> &lines)
{
    qsizetype size = 0;
    for (const QByteArray &line : lines)
        size += line.size() + 2;
    QByteArray bytes;
    bytes.reserve(size);
    for (const QByteArray &line : lines) {
        bytes += line;
        bytes += "\r\n";
    }
    return bytes;
}
