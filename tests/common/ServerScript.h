#pragma once

// Builders for the actions of tests/common/scripted_server.py, so that a route reads as
// what the server does: raw(head("Content-Length: 5\r\n") + "hallo"), or
// QJsonArray{pause(4), response(200, "spät")}. Bytes travel as latin-1 text, which keeps
// every byte value as it is.

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <QString>

namespace ServerScript {

inline QJsonObject send(const QByteArray &bytes)
{
    return {{QStringLiteral("send"), QString::fromLatin1(bytes)}};
}

// For large binary bodies: base64 is shorter in the routes file than escaped text.
inline QJsonObject sendBase64(const QByteArray &bytes)
{
    return {{QStringLiteral("send_b64"), QString::fromLatin1(bytes.toBase64())}};
}

// unit sent count times, in large blocks: bodies of any size without a file to hold them.
inline QJsonObject sendRepeated(const QByteArray &unit, qint64 count)
{
    return {{QStringLiteral("send_repeat"), QString::fromLatin1(unit)}, {QStringLiteral("count"), count}};
}

inline QJsonObject sendFile(const QString &path)
{
    return {{QStringLiteral("send_file"), path}};
}

// One byte, then a pause of interval seconds, and so on.
inline QJsonObject trickle(const QByteArray &bytes, double interval)
{
    return {{QStringLiteral("trickle"), QString::fromLatin1(bytes)}, {QStringLiteral("interval"), interval}};
}

// Copies a file on the server's side, for a change the program meets in the middle of
// its run.
inline QJsonObject copyFile(const QString &from, const QString &to)
{
    return {{QStringLiteral("copy_file"), from}, {QStringLiteral("to"), to}};
}

inline QJsonObject pause(double seconds)
{
    return {{QStringLiteral("sleep"), seconds}};
}

inline QJsonObject reset()
{
    return {{QStringLiteral("reset"), true}};
}

inline QJsonObject closeNow()
{
    return {{QStringLiteral("close"), true}};
}

// A well-formed response; the server adds Content-Length and Connection: close unless
// headers name them.
inline QJsonObject response(int status, const QByteArray &body = {}, const QJsonObject &headers = {})
{
    return {{QStringLiteral("http"), status},
            {QStringLiteral("body"), QString::fromLatin1(body)},
            {QStringLiteral("headers"), headers}};
}

inline QJsonArray reply(int status, const QByteArray &body = {}, const QJsonObject &headers = {})
{
    return {response(status, body, headers)};
}

inline QJsonArray raw(const QByteArray &bytes)
{
    return {send(bytes)};
}

// The head of a 200 response that closes the connection, with fields (each ending in
// CRLF) and the blank line.
inline QByteArray head(const QByteArray &fields)
{
    return "HTTP/1.1 200 OK\r\nConnection: close\r\n" + fields + "\r\n";
}

// Carries a small body, as real servers do, which must never be taken for the download.
inline QJsonArray redirect(int status, const QString &location)
{
    return reply(status, "moved", {{QStringLiteral("Location"), location}});
}

// A 200 with exactly these bytes as its announced body.
inline QJsonArray exactly(const QByteArray &body)
{
    return {send(head("Content-Length: " + QByteArray::number(body.size()) + "\r\n")), sendBase64(body)};
}

} // namespace ServerScript
