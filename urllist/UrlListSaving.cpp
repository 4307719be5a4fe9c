#include "urllist/UrlList.h"

#include "base/SleepWhile.h"
#include "log/SystemErrorText.h"
#include "log/TransferProgress.h"

// How the list reaches its file: the saves of the window and the run are handed to
// the writer thread, merged while it writes, and its outcome is taken in here.

namespace {
// A rewrite of the whole list may take this share of a run's time at most (the wait
// for the disk aside, which a short list pays as well).
constexpr qint64 RewriteSpacing = 10;
// Rewrites cheaper than this are never put off: a short list is saved at once.
constexpr qint64 CheapRewriteNs = 2000000;
// Another program that keeps writing the file while we do is given up on after this.
constexpr int ChangedMeanwhileTries = 5;
} // namespace

void UrlList::SaveUrlList()
{
    save(true);
}

void UrlList::save(bool mayPutOff)
{
    writeLog(QStringLiteral("Kommando: SaveUrlList"));
    if (m_unreadEntries) {
        // Writing now would replace entries that were never read with the few on screen.
        reportTrouble(QStringLiteral("### Liste %1 wird nicht gespeichert: sie konnte nicht gelesen werden, "
                                     "ihre Einträge gingen sonst verloren").arg(m_file));
        return;
    }
    if (m_disk.readOnly()) {
        reportTrouble(QStringLiteral("### Liste %1 ist schreibgeschützt: Änderungen an der Liste werden nicht gespeichert")
                          .arg(m_file));
        return;
    }
    m_writeWanted = true;
    m_writeUrgent = m_writeUrgent || !mayPutOff;
    // A write under way hands over to the next one when it ends.
    if (!m_writer || !m_writer->busy())
        scheduleWrite();
}

void UrlList::scheduleWrite()
{
    if (!m_writeUrgent && putOff()) {
        if (!m_putOff.isActive())
            m_putOff.start(int((RewriteSpacing * m_rewriteNs - m_sinceRewrite.nsecsElapsed()) / 1000000) + 1);
        return;
    }
    m_putOff.stop();
    m_writeSoon.start();
}

bool UrlList::putOff() const
{
    const bool onlyCut = m_tailOnly && m_bytes.size() <= m_synced.size();
    return m_runGoing && !onlyCut && m_rewriteNs >= CheapRewriteNs && m_sinceRewrite.isValid()
        && RewriteSpacing * m_rewriteNs > m_sinceRewrite.nsecsElapsed();
}

void UrlList::startWrite()
{
    m_writeSoon.stop();
    m_putOff.stop();
    if (!m_writeWanted || (m_writer && m_writer->busy()))
        return;
    m_writeWanted = false;
    m_writeUrgent = false;
    if (!catchUpWithFile() || !m_dirty)
        return;
    if (!m_writer) {
        m_writer = new ListWriter(m_disk, this);
        connect(m_writer, &ListWriter::finished, this, &UrlList::written);
    }
    ListWriter::Job job{m_bytes, m_stamp, -1};
    if (m_tailOnly && m_bytes.size() <= m_synced.size()) {
        job.cutTo = m_stamp.size;
        for (qsizetype i = m_bytes.size(); i < m_synced.size(); ++i)
            job.cutTo -= off_t(m_synced.at(i).size() + 2);
    }
    m_writingLines = m_bytes;
    m_changedSinceWrite = false;
    m_tailOnlySinceWrite = true;
    if (!m_writer->start(std::move(job))) {
        m_writingLines.clear();
        reportTrouble(QStringLiteral("### Liste %1 kann nicht gespeichert werden: %2").arg(m_file, systemErrorText(EAGAIN)));
    }
}

void UrlList::written(const ListWriter::Done &done)
{
    if (done.landed) {
        m_stamp = done.stamp;
        m_synced = m_writingLines;
        m_dirty = m_changedSinceWrite;
        m_tailOnly = m_tailOnlySinceWrite;
    }
    m_writingLines.clear();
    if (done.rewriteNs >= 0 && done.error == 0) {
        // Spaced by what grows with the list; the wait for the disk is the same for a
        // short list, and putting it off would only widen the window in which a kill
        // leaves arrived entries listed.
        m_rewriteNs = done.rewriteNs;
        m_sinceRewrite.start();
    }
    if (done.error == ListFileDisk::ChangedMeanwhile && ++m_changedMeanwhile < ChangedMeanwhileTries) {
        // Written meanwhile by someone else: taken in before the next try.
        m_writeWanted = true;
        m_writeUrgent = true;
    } else if (done.error != 0) {
        m_changedMeanwhile = 0;
        // The next save writes and flushes again, also when the list landed.
        m_dirty = true;
        m_tailOnly = false;
        const QString reason = done.error > 0 ? systemErrorText(done.error) : QStringLiteral("sie wird ständig von außen geändert");
        reportTrouble(QStringLiteral("### Liste %1 kann nicht gespeichert werden: %2").arg(m_file, reason));
    } else {
        m_changedMeanwhile = 0;
        m_lastTrouble.clear();
    }
    if (m_writeWanted)
        scheduleWrite();
    else if (done.landed && !m_dirty)
        Q_EMIT savedNow();
    if (m_catchUpAfterWrite && !writing()) {
        m_catchUpAfterWrite = false;
        catchUp();
    }
}

void UrlList::flushSave()
{
    if (m_putOff.isActive() || m_writeSoon.isActive())
        startWrite();
}

bool UrlList::writing() const
{
    return m_writeWanted || (m_writer && m_writer->busy());
}

bool UrlList::waitSaved(qint64 ms)
{
    flushSave();
    sleepWhile([this] { return writing(); }, ms < 0 ? QDeadlineTimer(QDeadlineTimer::Forever) : QDeadlineTimer(ms));
    return !writing() && !m_dirty;
}

bool UrlList::settle(qint64 ms)
{
    // Given up on once, the writer is not waited for a second time.
    if (m_gaveUp || waitSaved(ms) || !writing())
        return !writing() && !m_dirty;
    m_gaveUp = true;
    m_fileTrouble = true;
    writeLog(QStringLiteral("### Liste %1 nach %2 s noch nicht gespeichert: Quorvex endet, die Datei bleibt die vorige "
                            "oder ist schon die neue")
                 .arg(m_file, TransferProgress::secondsText(ms)));
    return false;
}

void UrlList::setRunGoing(bool going)
{
    m_runGoing = going;
    if (going)
        return;
    flushSave();
    if (m_watcher)
        m_settle.start();
}
