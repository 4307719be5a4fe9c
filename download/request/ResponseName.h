#pragma once

#include <curl/curl.h>

#include <QString>

#include <optional>

// The name a finished response suggests for its file, as a browser would pick it:
// the server's Content-Disposition name, else after a redirect the last path segment
// of the final URL when the link's own name says little, else the link's name with
// its %XX escapes decoded. Whatever the source, the name is made fit for the disk
// and the eye: one segment, no controls, no invisible or direction characters, no
// leading dots or spaces; a source that leaves nothing gives way to the next.
class ResponseName
{
public:
    enum class Source { List, Server, Redirect, Address };
    struct Choice
    {
        QString name;
        Source source = Source::List;
    };

    // Reads the head of the response that brings the body; each hop of a redirect
    // chain has a handle of its own, so this is always the final response.
    void take(CURL *easy, bool redirected);
    void clear() { *this = {}; }

    // For a body whose list name was derived from its link.
    Choice choose(const QString &derivedName) const { return choose(derivedName, m_server, m_finalUrl); }
    // finalUrl is empty when the request was not redirected.
    static Choice choose(const QString &derivedName, const std::optional<QString> &serverName, const QString &finalUrl);

    // The pieces of the rule, open for tests.
    // name with its %XX escapes decoded, except those of "/" and controls; name
    // itself when the result would not be UTF-8.
    static QString decodePercent(const QString &name);
    // Empty when nothing usable is left.
    static QString cleanName(const QString &raw);

private:
    std::optional<QString> m_server;
    QString m_finalUrl;
};
