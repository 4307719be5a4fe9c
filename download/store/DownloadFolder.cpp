#include "download/store/DownloadFolder.h"

#include "log/SystemErrorText.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

DownloadFolder::Check DownloadFolder::prepare(const QString &dir, const QString &programDir)
{
    Check check;
    const QFileInfo info(dir);
    if (info.exists()) {
        // A file of that name counts as present, but nothing can be saved in it.
        check.usable = info.isDir();
        if (!check.usable) {
            check.problem = QStringLiteral("### Download-Ordner %1 ist kein Ordner: an seiner Stelle steht eine Datei").arg(dir);
            return check;
        }
        // A folder nothing can be created in (a read-only mount stops even root) is
        // unusable too: every download would fail alike, through the folder's fault,
        // not the links'.
        if (::access(QFile::encodeName(dir).constData(), W_OK | X_OK) != 0) {
            const int error = errno;
            check.usable = false;
            check.problem = QStringLiteral("### Download-Ordner %1 ist nicht beschreibbar: %2").arg(dir, systemErrorText(error));
        }
        return check;
    }
    if (QDir().mkdir(dir))
        return check;
    check.usable = false;
    check.problem = QStringLiteral("### Download-Ordner %1 kann nicht angelegt werden: %2").arg(dir, whyNotCreated(dir, programDir));
    return check;
}

QString DownloadFolder::whyNotCreated(const QString &dir, const QString &programDir)
{
    // mkdir says nothing about why; ask the file system once more for the reason.
    const QFileInfo parent(programDir);
    if (!parent.isDir())
        return QStringLiteral("Programmordner fehlt");
    if (!parent.isWritable())
        return QStringLiteral("keine Schreibberechtigung im Programmordner");
    if (QFileInfo(dir).isSymLink())
        return QStringLiteral("ein Verweis gleichen Namens zeigt ins Leere");
    return QStringLiteral("Ordner konnte nicht angelegt werden");
}
