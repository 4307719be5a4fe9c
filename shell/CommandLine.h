#pragma once

#include <QString>
#include <QStringList>

// The questions a terminal asks before anything starts: "--help" (or "-h") and
// "--version", each the only argument. They are answered on standard output without a
// screen, a window or the program folder; any other arguments start the program.
namespace CommandLine {

// The text to print for the arguments; null when they start the program.
QString Answer(const QStringList &arguments);

QString UsageText();
QString VersionText();

} // namespace CommandLine
