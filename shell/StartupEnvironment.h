#pragma once

#include <QString>

// What must be settled before QApplication exists: Qt's platform plugins end the
// process when their display does not answer, and Qt makes a runtime folder in the
// temporary folder (with a warning) when the session has none.
namespace StartupEnvironment {

// Whether a screen can be opened as the environment says (QT_QPA_PLATFORM, DISPLAY,
// WAYLAND_DISPLAY), tried the way Qt would. Steers Qt to Wayland when only that answers.
bool screenUsable();

// Without XDG_RUNTIME_DIR (cron), points it at a private folder made beside the
// program; returns that folder, to be removed by removeRuntimeFolder once Qt is up.
QString provideRuntimeFolder();
void removeRuntimeFolder(const QString &folder);
// Leftovers of a process killed while starting.
void removeRuntimeLeftovers(const QString &programDir);

} // namespace StartupEnvironment
