#include "urllist/UrlList.h"

#include "log/ActivityLog.h"
#include "log/SystemErrorText.h"
#include "urllist/UrlEntry.h"

#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QHash>

#include <cerrno>
#include <cstring>

namespace {
// A rewrite of the whole list may take this share of a run's time at most (the wait
// for the disk aside, which a short list pays as well).
constexpr qint64 RewriteSpacing = 10;
// Rewrites cheaper than this are never put off: a short list is saved at once.
constexpr qint64 CheapRewriteNs = 2000000;
// An editor writes in several steps; the list looks once they are done.
constexpr int SettleMs = 200;

QByteArray joined(const QList<QByteArray> &lines)
{
    qsizetype size = 0;
    for (const QByteArray &line : lines)
        size += line.size() + 2;
    QByteArray bytes;
    bytes.reserve(size);
    for (const QByteArray &line : lines) {
        bytes += line;
        bytes += "\r\n";
    }
    return bytes;
}

} // namespace

UrlList::UrlList(ActivityLog *log, QObject *parent)
    : QAbstractListModel(parent)
    , m_log(log)
{
    m_putOff.setSingleShot(true);
    connect(&m_putOff, &QTimer::timeout, this, &UrlList::flushSave);
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleMs);
    connect(&m_settle, &QTimer::timeout, this, &UrlList::catchUp);
}

UrlList::~UrlList()
{
    flushSave();
}

void UrlList::setFile(const QString &path)
{
    m_file = path;
    m_disk.setPath(path);
}

void UrlList::append(const QString &line)
{
    appendLines({lineFromText(line)});
    m_dirty = true;
    m_tailOnly = false;
}

void UrlList::appendLines(const QList<ListLine> &lines)
{
    if (lines.isEmpty())
        return;
    beginInsertRows({}, int(m_lines.size()), int(m_lines.size() + lines.size() - 1));
    m_lines.reserve(m_lines.size() + lines.size());
    m_bytes.reserve(m_bytes.size() + lines.size());
    for (const ListLine &line : lines) {
        m_lines.append(line.text);
        m_bytes.append(line.bytes);
    }
    endInsertRows();
}

void UrlList::removeAt(int row)
{
    if (row < 0 || row >= m_lines.size())
        return;
    if (row != m_lines.size() - 1)
        m_tailOnly = false;
    beginRemoveRows({}, row, row);
    m_lines.removeAt(row);
    m_bytes.removeAt(row);
    endRemoveRows();
    m_dirty = true;
}

void UrlList::removeSaveLeftovers() const
{
    m_disk.removeSpare();
}

bool UrlList::LoadUrlList()
{
    writeLog(QStringLiteral("Kommando: LoadUrlList"));
    const QFileInfo info(m_file);
    if (!info.exists()) {
        m_stamp = {};
        takeInFile({}, true);
        return true;
    }
    const auto unreadable = [this](const QString &reason) {
        m_fileTrouble = true;
        writeLog(QStringLiteral("### Liste %1 kann nicht gelesen werden: %2").arg(m_file, reason));
        return false;
    };
    // A folder of that name holds no entries, and no save can replace it; anything
    // else that is not an ordinary file (a pipe, a device) might block the reader.
    if (info.isDir())
        return unreadable(QStringLiteral("an ihrer Stelle steht ein Ordner"));
    m_unreadEntries = true;
    if (!info.isFile())
        return unreadable(QStringLiteral("keine gewöhnliche Datei"));
    QByteArray bytes;
    ListFileDisk::Stamp stamp;
    if (!m_disk.read(&bytes, &stamp))
        return unreadable(systemErrorText(errno));
    m_unreadEntries = false;
    const QList<ListLine> loaded = parseListLines(bytes);
    QList<QByteArray> lineBytes;
    lineBytes.reserve(loaded.size());
    for (const ListLine &line : loaded)
        lineBytes.append(line.bytes);
    const bool canonical = joined(lineBytes) == bytes;
    appendLines(loaded);
    m_stamp = stamp;
    m_synced = lineBytes;
    m_dirty = m_bytes != m_synced;
    m_tailOnly = canonical && !m_dirty;
    return true;
}

bool UrlList::SaveUrlList()
{
    return save(true);
}

void UrlList::AddUrl(const QString &url)
{
    const QString entry = UrlEntry::make(url);
    if (m_lines.contains(entry))
        return;
    append(entry);
    // A dropped link exists nowhere else: it is saved at once, run or not.
    save(false);
}

bool UrlList::save(bool mayPutOff)
{
    writeLog(QStringLiteral("Kommando: SaveUrlList"));
    if (m_unreadEntries) {
        // Writing now would replace entries that were never read with the few on screen.
        m_fileTrouble = true;
        reportTrouble(QStringLiteral("### Liste %1 wird nicht gespeichert: sie konnte nicht gelesen werden, "
                                     "ihre Einträge gingen sonst verloren").arg(m_file));
        return false;
    }
    if (m_disk.readOnly()) {
        m_fileTrouble = true;
        reportTrouble(QStringLiteral("### Liste %1 ist schreibgeschützt: Änderungen an der Liste werden nicht gespeichert")
                          .arg(m_file));
        return false;
    }
    if (!catchUpWithFile())
        return false;
    if (!m_dirty)
        return true;
    const bool onlyCut = m_tailOnly && m_bytes.size() <= m_synced.size();
    if (mayPutOff && m_runGoing && !onlyCut && m_rewriteNs >= CheapRewriteNs && m_sinceRewrite.isValid()) {
        const qint64 waitNs = RewriteSpacing * m_rewriteNs - m_sinceRewrite.nsecsElapsed();
        if (waitNs > 0) {
            if (!m_putOff.isActive())
                m_putOff.start(int(waitNs / 1000000) + 1);
            return true;
        }
    }
    return writeNow();
}

bool UrlList::writeNow()
{
    m_putOff.stop();
    int error = ListFileDisk::ChangedMeanwhile;
    // Written meanwhile by someone else: take that in and try again.
    for (int attempt = 0; attempt < 5 && error == ListFileDisk::ChangedMeanwhile; ++attempt) {
        if (attempt > 0 && !catchUpWithFile())
            return false;
        if (!m_dirty)
            return true;
        error = writeOnce();
    }
    if (error != 0) {
        m_fileTrouble = true;
        const QString reason = error > 0 ? systemErrorText(error) : QStringLiteral("sie wird ständig von außen geändert");
        reportTrouble(QStringLiteral("### Liste %1 kann nicht gespeichert werden: %2").arg(m_file, reason));
        return false;
    }
    m_dirty = false;
    m_tailOnly = true;
    m_lastTrouble.clear();
    return true;
}

int UrlList::writeOnce()
{
    ListFileDisk::Stamp stamp = m_stamp;
    int error = 0;
    if (m_tailOnly && m_bytes.size() <= m_synced.size()) {
        off_t size = m_stamp.size;
        for (qsizetype i = m_bytes.size(); i < m_synced.size(); ++i)
            size -= off_t(m_synced.at(i).size() + 2);
        error = m_disk.cutTo(size, &stamp);
        if (error == 0)
            m_synced.resize(m_bytes.size());
    } else {
        QElapsedTimer clock;
        clock.start();
        qint64 syncNs = 0;
        error = m_disk.replace(joined(m_bytes), &stamp, &syncNs);
        if (error == 0) {
            m_synced = m_bytes;
            // Spaced by what grows with the list; the wait for the disk is the same
            // for a short list, and putting it off would only widen the window in
            // which a kill leaves arrived entries listed.
            m_rewriteNs = clock.nsecsElapsed() - syncNs;
            m_sinceRewrite.start();
        }
    }
    if (error == 0)
        m_stamp = stamp;
    return error;
}

void UrlList::flushSave()
{
    if (m_putOff.isActive())
        writeNow();
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

bool UrlList::catchUpWithFile()
{
    const ListFileDisk::Stamp now = m_disk.stamp();
    // A list file that vanished is written anew by the next save; its entries are
    // still here, and losing them all to a slip is worse than keeping them.
    if (!now.exists) {
        if (m_stamp.exists) {
            m_stamp = {};
            m_dirty = true;
            m_tailOnly = false;
        }
        return true;
    }
    if (now == m_stamp)
        return true;
    QByteArray bytes;
    ListFileDisk::Stamp stamp;
    if (!m_disk.read(&bytes, &stamp)) {
        m_fileTrouble = true;
        reportTrouble(QStringLiteral("### Liste %1 kann nicht gelesen werden: %2").arg(m_file, systemErrorText(errno)));
        return false;
    }
    const QList<ListLine> disk = parseListLines(bytes);
    QList<QByteArray> lineBytes;
    lineBytes.reserve(disk.size());
    for (const ListLine &line : disk)
        lineBytes.append(line.bytes);
    m_stamp = stamp;
    takeInFile(disk, joined(lineBytes) == bytes);
    return true;
}

// Compares the file as it is with the file as we left it, line by line as bytes:
// what it gained joins the list at the end, what it lost leaves the list unless a
// run goes.
void UrlList::takeInFile(const QList<ListLine> &disk, bool canonical)
{
    QHash<QByteArray, int> before;
    for (const QByteArray &line : std::as_const(m_synced))
        ++before[line];
    QList<ListLine> gained;
    QList<QByteArray> lineBytes;
    lineBytes.reserve(disk.size());
    for (const ListLine &line : disk) {
        lineBytes.append(line.bytes);
        const auto it = before.find(line.bytes);
        if (it != before.end() && it.value() > 0)
            --it.value();
        else
            gained.append(line);
    }
    int removed = 0;
    if (!m_runGoing) {
        for (int row = count() - 1; row >= 0; --row) {
            const auto it = before.find(m_bytes.at(row));
            if (it == before.end() || it.value() == 0)
                continue;
            --it.value();
            beginRemoveRows({}, row, row);
            m_lines.removeAt(row);
            m_bytes.removeAt(row);
            endRemoveRows();
            ++removed;
        }
    }
    appendLines(gained);
    m_synced = lineBytes;
    m_dirty = m_bytes != m_synced;
    m_tailOnly = canonical && !m_dirty;
    if (!gained.isEmpty() || removed > 0)
        writeLog(QStringLiteral("Liste %1 wurde außerhalb geändert: %2 neu, %3 entfernt")
                            .arg(m_file)
                            .arg(gained.size())
                            .arg(removed));
}

void UrlList::followFile()
{
    if (m_watcher)
        return;
    m_watcher = new QFileSystemWatcher(this);
    // The folder tells of a file replaced or created; the file of one written in place.
    m_watcher->addPath(QFileInfo(m_file).absolutePath());
    m_watcher->addPath(m_file);
    const auto changed = [this] {
        if (!m_watcher->files().contains(m_file) && QFileInfo::exists(m_file))
            m_watcher->addPath(m_file);
        m_settle.start();
    };
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, changed);
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, changed);
}

void UrlList::catchUp()
{
    // A run takes changes in with its next save; its indices must not move before.
    if (!m_runGoing && !m_unreadEntries)
        catchUpWithFile();
}

void UrlList::reportTrouble(const QString &message)
{
    // Said once: a run saves after every arrived entry.
    if (message == m_lastTrouble)
        return;
    m_lastTrouble = message;
    writeLog(message);
}

void UrlList::writeLog(const QString &message)
{
    if (m_log)
        m_log->WriteLog(message);
}

int UrlList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant UrlList::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_lines.size())
        return {};
    return m_lines.at(index.row());
}
