#include "download/run/DownloadRun.h"

#include "download/Inet.h"
#include "log/ActivityLog.h"
#include "log/SafeText.h"
#include "log/TransferProgress.h"
#include "urllist/UrlEntry.h"

// Which name an entry's file gets once its response is in, apart from the run's loop
// so that the loop stays readable.

// A name the user wrote into the list stays as it is; one derived from the link gives
// way to the name the response suggests, and the path is chosen again for it. A
// request that failed names nothing.
bool DownloadRun::takeResponseName(const UrlEntry &entry, QString *fileName, QString *path, int *counter)
{
    if (entry.fileName != fileNameFromUrl(entry.url) || m_inet->ResponseCode() != 0)
        return true;
    const Inet::FileName suggested = m_inet->suggestedFileName(entry.fileName);
    if (suggested.source == Inet::NameSource::List || suggested.name == *fileName)
        return true;
    const QString from = suggested.source == Inet::NameSource::Server     ? QStringLiteral("Name vom Server: ")
                         : suggested.source == Inet::NameSource::Redirect ? QStringLiteral("Name aus der Weiterleitung: ")
                                                                          : QStringLiteral("Name aus der Adresse: ");
    m_log->WriteLog(from + safeText(suggested.name));
    *fileName = suggested.name;
    *counter = 0;
    return planPath(*fileName, path, counter);
}

void DownloadRun::showName(const UrlEntry &entry)
{
    if (m_progress && entry.fileName == fileNameFromUrl(entry.url))
        m_progress->rename(m_inet->suggestedFileName(entry.fileName).name);
}
