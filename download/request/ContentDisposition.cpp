#include "download/request/ContentDisposition.h"

#include "download/Digits.h"

#include <QStringDecoder>

namespace {
bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

// RFC 9110 token characters; bytes above 127 are taken too, as servers send raw
// UTF-8 names without quotes and browsers accept them.
bool isTokenChar(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x80)
        return true;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

std::optional<QString> fromUtf8(QByteArrayView bytes)
{
    QStringDecoder utf8(QStringDecoder::Utf8, QStringConverter::Flag::Stateless);
    QString text = utf8.decode(bytes);
    return utf8.hasError() ? std::nullopt : std::optional<QString>(std::move(text));
}

// Raw bytes of a plain filename: UTF-8 when they are, else ISO-8859-1 as HTTP has it.
QString fromRaw(QByteArrayView bytes)
{
    return fromUtf8(bytes).value_or(QString::fromLatin1(bytes));
}

// charset'language'value with %XX escapes (RFC 8187); nothing for anything else,
// an unknown charset or bytes that are not text in the named one.
std::optional<QString> extValue(QByteArrayView value)
{
    const qsizetype first = value.indexOf('\'');
    const qsizetype second = first < 0 ? -1 : value.sliced(first + 1).indexOf('\'');
    if (second < 0)
        return std::nullopt;
    const QByteArray charset = value.first(first).toByteArray().toLower();
    const QByteArrayView encoded = value.sliced(first + 1 + second + 1);
    QByteArray bytes;
    for (qsizetype i = 0; i < encoded.size(); ++i) {
        const char c = encoded[i];
        if (c == '%') {
            const int byte = percentEscape(encoded, i);
            if (byte < 0)
                return std::nullopt;
            bytes += char(byte);
            i += 2;
        } else if (isTokenChar(c) && static_cast<unsigned char>(c) < 0x80 && c != '*' && c != '\'') {
            bytes += c;
        } else {
            return std::nullopt;
        }
    }
    if (charset == "iso-8859-1")
        return QString::fromLatin1(bytes);
    return charset == "utf-8" ? fromUtf8(bytes) : std::nullopt;
}

class Reader
{
public:
    explicit Reader(QByteArrayView text)
        : m_text(text)
    {
    }
    bool atEnd() const { return m_at >= m_text.size(); }
    char peek() const { return m_text[m_at]; }
    void skipSpace()
    {
        while (!atEnd() && isSpace(peek()))
            ++m_at;
    }
    bool take(char c)
    {
        if (atEnd() || peek() != c)
            return false;
        ++m_at;
        return true;
    }
    QByteArrayView token()
    {
        const qsizetype start = m_at;
        while (!atEnd() && isTokenChar(peek()))
            ++m_at;
        return m_text.sliced(start, m_at - start);
    }
    // After the opening quote; nothing when the closing one never comes.
    std::optional<QByteArray> quoted()
    {
        QByteArray out;
        while (!atEnd()) {
            const char c = m_text[m_at++];
            if (c == '"')
                return out;
            if (c == '\\' && !atEnd())
                out += m_text[m_at++];
            else
                out += c;
        }
        return std::nullopt;
    }

private:
    QByteArrayView m_text;
    qsizetype m_at = 0;
};

struct Names
{
    std::optional<QByteArray> plain;
    std::optional<QByteArray> extended;
    bool quotedExtended = false;
};

// One "; name=value" after the disposition type; false when it is not one.
bool readParameter(Reader &in, Names *names)
{
    in.skipSpace();
    if (!in.take(';'))
        return false;
    in.skipSpace();
    if (in.atEnd())
        return true; // a trailing semicolon, as some servers send
    const QByteArray name = in.token().toByteArray().toLower();
    in.skipSpace();
    if (name.isEmpty() || !in.take('='))
        return false;
    in.skipSpace();
    std::optional<QByteArray> value;
    const bool quoted = in.take('"');
    if (quoted)
        value = in.quoted();
    else if (const QByteArrayView token = in.token(); !token.isEmpty())
        value = token.toByteArray();
    if (!value)
        return false;
    std::optional<QByteArray> *slot = name == "filename" ? &names->plain : name == "filename*" ? &names->extended : nullptr;
    if (!slot)
        return true;
    if (*slot)
        return false; // named twice: which one was meant?
    *slot = std::move(value);
    if (slot == &names->extended)
        names->quotedExtended = quoted;
    return true;
}
} // namespace

std::optional<QString> ContentDisposition::fileName(QByteArrayView value)
{
    Reader in(value);
    in.skipSpace();
    if (in.token().isEmpty())
        return std::nullopt;
    Names names;
    while (true) {
        in.skipSpace();
        if (in.atEnd())
            break;
        if (!readParameter(in, &names))
            return std::nullopt;
    }
    // RFC 8187 has no quotes around an extended value; a quoted one is ignored.
    if (names.extended && !names.quotedExtended) {
        if (std::optional<QString> name = extValue(*names.extended); name && !name->isEmpty())
            return name;
    }
    if (names.plain && !names.plain->isEmpty())
        return fromRaw(*names.plain);
    return std::nullopt;
}
