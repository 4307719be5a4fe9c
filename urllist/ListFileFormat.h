#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// One line of the list file: what it says, and the bytes it was read as. A save
// writes the bytes back, so a line nobody changed stays exactly as it was, in
// whatever encoding its writer used.
struct ListLine
{
    QString text;
    QByteArray bytes;

    bool operator==(const ListLine &other) const = default;
};

// The lines of a list file: split at CR LF, lone CR or lone LF, blanks (not tabs)
// trimmed at both ends, empty lines dropped. A file with a UTF-16 byte-order mark is
// UTF-16 throughout; otherwise each line on its own is UTF-8 when it is valid UTF-8,
// and windows-1252 when it is not.
QList<ListLine> parseListLines(const QByteArray &bytes);
QStringList parseListFile(const QByteArray &bytes);

// The file holding lines: each one ended by CR LF.
QByteArray joinedLines(const QList<QByteArray> &lines);

// The line as the list file holds it, for a text that came from elsewhere (a drop).
ListLine lineFromText(const QString &text);
