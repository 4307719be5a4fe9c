#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// What a body that did not arrive whole needs to be continued by a later request: the
// URL it belongs to, the server's validator of that version (ETag, else
// Last-Modified) and the length the server announced. Kept in a small file beside the
// body, written before the first body byte and replaced only as a whole, so whatever
// moment a kill comes at, the bytes on disk are a beginning of the version it names.
struct PartInfo
{
    QString url;
    QByteArray validator;
    qint64 total = -1;

    // Only a body whose version and length are known can be continued safely.
    bool resumable() const;

    // Writes path anew under a temporary name first, then renames it into place.
    // Returns 0 or the errno.
    int write(const QString &path) const;
    // Nothing when the file is missing, not a plain file or not in our format.
    // absent, when given, tells whether there was no file at path at all.
    static std::optional<PartInfo> read(const QString &path, bool *absent = nullptr);

    // Stands in for the URL in the names of its files: the same URL always finds the
    // same files, and nothing of it (a password, say) shows in a name.
    static QString keyOf(const QString &url);
};
