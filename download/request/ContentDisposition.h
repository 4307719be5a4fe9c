#pragma once

#include <QByteArrayView>
#include <QString>

#include <optional>

// The file name in the value of a Content-Disposition field (RFC 6266): filename*
// (RFC 8187, UTF-8 or ISO-8859-1) wins over filename, whatever their order. Nothing
// when the value is malformed, names no file or names it twice: a browser ignores
// such a field, and guessing between two names would let a server pick either.
// The name comes back as the server wrote it, slashes and controls included; making
// it fit for the disk is the caller's.
namespace ContentDisposition {
std::optional<QString> fileName(QByteArrayView value);
}
