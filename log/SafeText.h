#pragma once

#include <QString>

// Text from outside (a server, a URL, a list file) on its way into the log, a message
// or a terminal: control characters are shown as escapes (ESC as \x1b) so that nothing
// can move a cursor, recolour a terminal or fake a log line; a backslash is doubled so
// that the escapes stay unambiguous.
QString safeText(const QString &text);
// Whether c shows nothing or changes how the text around it shows: controls (C0, DEL,
// C1), line and paragraph separators, and the invisible format characters, among them
// the direction overrides that show "Rechnung\u202Efdp.exe" as "Rechnungexe.pdf" and
// the zero-width ones. Such characters are escaped in the log and replaced in names.
bool isHiddenCharacter(char32_t c);
QString safeText(const QByteArray &latin1Bytes);

// A URL as it may be shown: the password part replaced by *** (the user name stays),
// then made safe like any other outside text. The request itself keeps the password.
QString safeUrl(const QString &url);
