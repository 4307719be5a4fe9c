#include "download/run/DownloadRun.h"

#include "download/FileError.h"
#include "download/Inet.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"
#include "log/TransferProgress.h"
#include "urllist/UrlList.h"

#include <algorithm>
#include <functional>

// How the run hands finished bodies to the disk and lets their entries go once they
// are durable, apart from the run's loop so that the loop stays readable.

// The body goes to the disk behind the next entries; its entry leaves the list once
// the body is durable under its name.
DownloadRun::Outcome DownloadRun::commit(int k, const QString &fileName, const QString &path, int counter)
{
    try {
        const QString &entry = m_entries.at(k);
        m_committing.insert(m_inet->commitBody(m_downloadDir, fileName, path, counter, entry), {k, path, false, entry});
        return Outcome::Arrived;
    } catch (const FileError &e) {
        logFailure(m_log, e.description(), e.errnum());
        return Outcome::Failed;
    }
}

std::optional<DownloadRun::Outcome> DownloadRun::arrivedBefore(int k)
{
    const QString &entry = m_entries.at(k);
    if (entry.isEmpty())
        return std::nullopt;
    const Inet::Arrival arrival = Inet::arrivedBefore(m_downloadDir, entry, QDeadlineTimer(m_commitGiveUpMs));
    if (arrival.path.isEmpty())
        return std::nullopt;
    if (arrival.error != 0) {
        logFailure(m_log,
                   QStringLiteral("Datei %1 gespeichert, aber nicht sicher auf dem Datenträger: %2")
                       .arg(arrival.path, FileError(arrival.error).description()),
                   arrival.error);
        return Outcome::Failed;
    }
    m_log->WriteLog(QStringLiteral("Schon geladen: ") + arrival.path);
    m_committing.insert(m_foundKey--, {k, arrival.path, true, entry});
    ++m_arrived;
    if (!m_leaveList.isActive())
        m_leaveList.start();
    return Outcome::Arrived;
}

void DownloadRun::takeCommits()
{
    using Kind = Inet::CommitReport::Kind;
    for (const Inet::CommitReport &report : m_inet->takeCommitReports()) {
        const auto it = m_committing.find(report.ticket);
        if (it == m_committing.end())
            continue;
        switch (report.kind) {
        case Kind::Named:
            m_log->WriteLog(QStringLiteral("Datei gespeichert als ") + report.path);
            continue;
        case Kind::Durable:
            it->durable = true;
            ++m_arrived;
            continue;
        case Kind::Failed:
            logFailure(m_log, QStringLiteral("Datei %1 nicht gespeichert: %2").arg(report.path, FileError(report.error).description()),
                       report.error);
            break;
        case Kind::Unsettled:
            // Its entry stays: a power cut could still take the name and the entry both.
            if (report.error != 0)
                logFailure(m_log,
                           QStringLiteral("Datei %1 gespeichert, aber nicht sicher auf dem Datenträger: %2")
                               .arg(report.path, FileError(report.error).description()),
                           report.error);
            else
                m_log->WriteLog(QStringLiteral("### Datei %1 nicht sicher auf dem Datenträger: ihr Eintrag bleibt in der Liste")
                                    .arg(report.path));
            break;
        }
        ++m_failed;
        m_committing.erase(it);
    }
    if (!m_leaveList.isActive())
        m_leaveList.start();
}

void DownloadRun::leaveList(bool all)
{
    // Bodies become durable in any order. An entry waits for those above it, so that
    // the run's entries leave the list from its end, which only cuts the file short;
    // leaving between entries still on their way would rewrite it, and wait for the
    // disk twice.
    int open = -1;
    for (const Committing &c : std::as_const(m_committing)) {
        if (!c.durable && !all)
            open = std::max(open, c.row);
    }
    QList<int> leaving;
    for (auto it = m_committing.begin(); it != m_committing.end();) {
        if (it->durable && it->row > open) {
            leaving.append(it->row);
            if (!it->entry.isEmpty())
                m_recordsToDrop.append(it->entry);
            it = m_committing.erase(it);
        } else {
            ++it;
        }
    }
    if (leaving.isEmpty())
        return;
    // All of them below the run's current entry, whose row stays; the rows of those
    // still on their way move up.
    std::sort(leaving.begin(), leaving.end(), std::greater<>());
    for (const int row : std::as_const(leaving)) {
        m_list->removeAt(row);
        for (Committing &other : m_committing) {
            if (other.row > row)
                --other.row;
        }
    }
    m_list->SaveUrlList();
    dropRecords();
}

void DownloadRun::dropRecords()
{
    // Until the file no longer lists an entry, its record is what tells the next look
    // that the entry arrived; a file that cannot be written keeps them all.
    if (!m_list->saved())
        return;
    for (const QString &entry : std::as_const(m_recordsToDrop))
        Inet::dropArrival(m_downloadDir, entry);
    m_recordsToDrop.clear();
}

// The end of a run waits until every finished body is durable. Closing the program
// cuts that wait short: what has not reached the disk within the bound stays a part
// file, and its entry stays in the list.
void DownloadRun::settleCommits()
{
    const auto pending = [this] {
        return std::any_of(m_committing.cbegin(), m_committing.cend(), [](const Committing &c) { return !c.durable; });
    };
    const bool settled = m_states->waitWhile(pending, -1) || m_states->waitWhile(pending, m_commitGiveUpMs, true);
    m_leaveList.stop();
    if (!settled) {
        // Given up first, so that nothing is named behind the list; then everything
        // said before the give-up is taken in, and only then does the list change.
        const int left = m_inet->abandonCommits();
        takeCommits();
        m_leaveList.stop();
        for (auto it = m_committing.begin(); it != m_committing.end();)
            it = it->durable ? std::next(it) : m_committing.erase(it);
        m_failed += left;
        if (left > 0)
            m_log->WriteLog(QStringLiteral("### %1 fertige Downloads nach %2 s nicht auf dem Datenträger: sie bleiben "
                                           "Teildateien und ihre Einträge in der Liste")
                                .arg(left)
                                .arg(TransferProgress::secondsText(m_commitGiveUpMs)));
    }
    leaveList(true);
}

// The run ends once the list file has lost its arrived entries too. Closing the
// program bounds that wait as it bounds the commits'.
void DownloadRun::settleList()
{
    m_list->flushSave();
    if (!m_states->waitWhile([this] { return m_list->writing(); }, -1))
        m_list->settle(m_commitGiveUpMs);
}
