#pragma once

#include <QString>

// A name that can only ever mean one entry inside the download folder and shows as
// what it is: "/", NUL, control characters (C1 too) and invisible format characters
// (direction overrides, zero widths) become "_", "." and ".." become "_." and "_..",
// an empty name becomes "index.html", and overlong names are shortened to fit the
// file system.
QString safeFileName(const QString &name);
