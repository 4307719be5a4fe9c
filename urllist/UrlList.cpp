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
// An editor writes in several steps; the list looks once they are done.
constexpr int SettleMs = 200;
} // namespace

UrlList::UrlList(ActivityLog *log, QObject *parent)
    : QAbstractListModel(parent)
    , m_log(log)
{
    m_putOff.setSingleShot(true);
    connect(&m_putOff, &QTimer::timeout, this, &UrlList::startWrite);
    m_writeSoon.setSingleShot(true);
    m_writeSoon.setInterval(0);
    connect(&m_writeSoon, &QTimer::timeout, this, &UrlList::startWrite);
    m_settle.setSingleShot(true);
    m_settle.setInterval(SettleMs);
    connect(&m_settle, &QTimer::timeout, this, &UrlList::catchUp);
}

// A write under way is left to the writer; the program waits for it before (settle).
UrlList::~UrlList() = default;

void UrlList::setFile(const QString &path)
{
    m_file = path;
    m_disk.setPath(path);
}

void UrlList::append(const QString &line)
{
    appendLines({lineFromText(line)});
    changed(false);
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
    const bool lastRow = row == m_lines.size() - 1;
    beginRemoveRows({}, row, row);
    m_lines.removeAt(row);
    m_bytes.removeAt(row);
    endRemoveRows();
    changed(lastRow);
}

void UrlList::changed(bool onlyLastRow)
{
    m_dirty = true;
    m_changedSinceWrite = true;
    if (!onlyLastRow) {
        m_tailOnly = false;
        m_tailOnlySinceWrite = false;
    }
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
    const bool canonical = joinedLines(lineBytes) == bytes;
    appendLines(loaded);
    m_stamp = stamp;
    m_synced = lineBytes;
    m_dirty = m_bytes != m_synced;
    m_tailOnly = canonical && !m_dirty;
    return true;
}

void UrlList::AddUrl(const QString &url)
{
    const QString entry = UrlEntry::make(url);
    if (m_lines.contains(entry))
        return;
    append(entry);
    // A dropped link exists nowhere else: it is never put off, run or not.
    save(false);
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
        reportTrouble(QStringLiteral("### Liste %1 kann nicht gelesen werden: %2").arg(m_file, systemErrorText(errno)));
        return false;
    }
    const QList<ListLine> disk = parseListLines(bytes);
    QList<QByteArray> lineBytes;
    lineBytes.reserve(disk.size());
    for (const ListLine &line : disk)
        lineBytes.append(line.bytes);
    m_stamp = stamp;
    takeInFile(disk, joinedLines(lineBytes) == bytes);
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
    // Our own write changes the file too: what it meant is known once it has ended.
    if (m_writer && m_writer->busy()) {
        m_catchUpAfterWrite = true;
        return;
    }
    // A run takes changes in with its next save; its indices must not move before.
    if (!m_runGoing && !m_unreadEntries)
        catchUpWithFile();
}

void UrlList::reportTrouble(const QString &message)
{
    // Said once: a run saves after every arrived entry.
    m_fileTrouble = true;
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
