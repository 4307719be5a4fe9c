#include "log/SystemErrorText.h"

#include <cerrno>

QString systemErrorText(int errnum)
{
    switch (errnum) {
    case 0: return QStringLiteral("Unbekannter Systemfehler");
    case ENOSPC: return QStringLiteral("Kein Platz mehr auf dem Datenträger");
    case EDQUOT: return QStringLiteral("Speicherkontingent erschöpft");
    case EACCES:
    case EPERM: return QStringLiteral("Zugriff verweigert");
    case EROFS: return QStringLiteral("Datenträger ist schreibgeschützt");
    case ENOENT: return QStringLiteral("Datei oder Ordner nicht gefunden");
    case ENOTDIR: return QStringLiteral("Ein Teil des Pfades ist kein Ordner");
    case EISDIR: return QStringLiteral("Ist ein Ordner");
    case ENAMETOOLONG: return QStringLiteral("Dateiname zu lang");
    case EEXIST: return QStringLiteral("Datei existiert bereits");
    case ELOOP: return QStringLiteral("Zu viele Verweise im Pfad");
    case EIO: return QStringLiteral("Ein-/Ausgabefehler");
    case EFBIG: return QStringLiteral("Datei zu groß");
    case EMFILE:
    case ENFILE: return QStringLiteral("Zu viele offene Dateien");
    case ENOMEM: return QStringLiteral("Nicht genug Arbeitsspeicher");
    case EBUSY: return QStringLiteral("Gerät oder Datei belegt");
    case EXDEV: return QStringLiteral("Nicht auf demselben Datenträger");
    case EINVAL: return QStringLiteral("Ungültiges Argument");
    case ECONNREFUSED: return QStringLiteral("Verbindung abgelehnt");
    case ECONNRESET: return QStringLiteral("Verbindung vom Gegenüber zurückgesetzt");
    case ECONNABORTED: return QStringLiteral("Verbindung abgebrochen");
    case ETIMEDOUT: return QStringLiteral("Zeitüberschreitung der Verbindung");
    case ENETUNREACH: return QStringLiteral("Netzwerk nicht erreichbar");
    case EHOSTUNREACH: return QStringLiteral("Rechner nicht erreichbar");
    case ENETDOWN: return QStringLiteral("Netzwerk ist nicht verfügbar");
    case EPIPE: return QStringLiteral("Verbindung unterbrochen");
    case EAGAIN: return QStringLiteral("Ressource vorübergehend nicht verfügbar");
    case EINTR: return QStringLiteral("Unterbrochener Systemaufruf");
    case EBADF: return QStringLiteral("Ungültiger Dateideskriptor");
    case EOVERFLOW: return QStringLiteral("Wert zu groß für den Datentyp");
    default: return QStringLiteral("Systemfehler Nr. %1").arg(errnum);
    }
}
