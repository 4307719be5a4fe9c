#pragma once

#include <QString>

// Between the local file name and the URL of a list line.
inline const QString Separator = QStringLiteral(" -> ");

// A list line taken apart: the first " -> " ends the file name, the rest is the URL.
// A line starting "-> " is an entry with an empty file name as read back from the
// list file. A line without the separator (typed into the list file by hand) is a bare
// URL whose file name is derived like a dropped link's.
struct UrlEntry
{
    QString fileName;
    QString url;
    bool hasSeparator = true;

    static UrlEntry parse(const QString &line);
    // "name -> url" for a dropped link.
    static QString make(const QString &url);
};

// The part of a URL after its last "\", "/" or ":"; all of it when it holds none.
// A fragment is left out first.
QString fileNameFromUrl(const QString &url);
