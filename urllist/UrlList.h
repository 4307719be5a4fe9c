#pragma once

#include "urllist/ListFileDisk.h"
#include "urllist/ListFileFormat.h"
#include "urllist/ListWriter.h"

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QPointer>
#include <QStringList>
#include <QTimer>

class ActivityLog;
class QFileSystemWatcher;
class QMimeData;

// The URL list (the rows of Liste) and the list file that mirrors it.
//
// The file is shared with whoever else edits it: before every write, a file changed
// on disk since we last read or wrote it is read again. Lines it gained join the list
// at its end; lines it lost leave the list, except while a run goes, whose entries
// must stay where they are. Each line keeps the bytes it was read as.
//
// The window never waits for the disk: a save hands the list to a writer thread
// (ListWriter), and the saves asked for while it writes merge into its next write, so
// a burst of links costs one write whatever its size. Saving costs what changed: an
// entry removed from the end of the list (what a run does as its downloads arrive)
// only cuts the file short. Any other change rewrites the file; while a run goes,
// rewrites of a long list are spaced so that they take at most a tenth of the time.
// A kill then leaves a list still naming a few entries that had arrived, never one
// that lost an entry.
class UrlList : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit UrlList(ActivityLog *log, QObject *parent = nullptr);
    ~UrlList() override;

    void setFile(const QString &path);
    QString file() const { return m_file; }

    int count() const { return int(m_lines.size()); }
    QString line(int row) const { return m_lines.value(row); }
    const QStringList &lines() const { return m_lines; }
    void append(const QString &line);
    void removeAt(int row);

    // Fills the list from the file (appending). A missing file is an empty list;
    // a file that cannot be read is reported in the log ("### ...") and false returned.
    // Saving is then refused for the rest of the session, because the file still holds
    // entries the list on screen does not know of.
    bool LoadUrlList();
    // Has the file brought up to date with the list by the writer, at the latest in the
    // write after the one under way. A list that cannot be saved (read-only, never read
    // whole) is reported in the log at once, a write that fails when it ends (once until
    // a save succeeds again); the next save catches up.
    void SaveUrlList();
    // Whether a write is asked for or under way.
    bool writing() const;
    // Sleeps in the event loop until the writer is done, at most ms (-1: no limit).
    // True when the file then holds the list.
    bool waitSaved(qint64 ms = -1);
    // For the end of the program: waits at most ms, and says in the log when the list
    // could not be written in that time. True when the file holds the list.
    bool settle(qint64 ms);
    // True once any load or save of this list failed or was refused.
    bool fileTroubleSeen() const { return m_fileTrouble; }
    // Whether the file holds the list as it is now: its last write has landed and
    // nothing changed since.
    bool saved() const { return !m_dirty; }

    // While a run goes its indices must hold, and a save may be put off; ending the
    // run hands over what was put off.
    void setRunGoing(bool going);
    // Hands a save that was put off to the writer, at once.
    void flushSave();
    // Lets the list follow changes another program makes to the file while no run goes.
    void followFile();
    // Takes in a change of the file on disk now; what the file watcher ends in.
    void catchUp();

    // A save writes the hidden ".<list file name>.spare" beside the list first and
    // then swaps the two. Removing it (at start and at the end) leaves just the list.
    void removeSaveLeftovers() const;
    static QString spareFile(const QString &listFile) { return ListFileDisk::spareFile(listFile); }

    // Adds "name -> url" unless the same line is already in the list, then saves.
    void AddUrl(const QString &url);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

Q_SIGNALS:
    // A write landed and the file holds the list as it is now (saved()).
    void savedNow();

private:
    void appendLines(const QList<ListLine> &lines);
    void changed(bool onlyLastRow);
    void save(bool mayPutOff);
    void scheduleWrite();
    void startWrite();
    void written(const ListWriter::Done &done);
    bool putOff() const;
    bool catchUpWithFile();
    void takeInFile(const QList<ListLine> &disk, bool canonical);
    void reportTrouble(const QString &message);
    void writeLog(const QString &message);

    // Guarded: a write's outcome may still arrive while the program is torn down.
    QPointer<ActivityLog> m_log;
    QString m_file;
    ListFileDisk m_disk;
    ListWriter *m_writer = nullptr;
    QStringList m_lines;
    QList<QByteArray> m_bytes;
    // What the file held when we last read or wrote it, and its stamp then.
    QList<QByteArray> m_synced;
    ListFileDisk::Stamp m_stamp;
    bool m_dirty = false;
    // The file holds exactly m_synced, and the list is m_synced with lines cut off its end.
    bool m_tailOnly = false;
    bool m_runGoing = false;
    // A save asked for a write that has not been handed to the writer yet.
    bool m_writeWanted = false;
    // ... and one of them may not be put off (a dropped link).
    bool m_writeUrgent = false;
    // The write under way: the lines it writes, and whether the list changed since
    // (and only by lines off its end).
    QList<QByteArray> m_writingLines;
    bool m_changedSinceWrite = false;
    bool m_tailOnlySinceWrite = true;
    int m_changedMeanwhile = 0;
    // The saves of one turn of the event loop (a paste, a drop of many links) merge.
    QTimer m_writeSoon;
    QTimer m_putOff;
    QElapsedTimer m_sinceRewrite;
    qint64 m_rewriteNs = 0;
    QFileSystemWatcher *m_watcher = nullptr;
    QTimer m_settle;
    bool m_catchUpAfterWrite = false;
    bool m_gaveUp = false;
    QString m_lastTrouble;
    bool m_fileTrouble = false;
    bool m_unreadEntries = false;
};

// The links in a drop on the list: one per non-empty line of its text, stripped of
// surrounding blanks; without text, the links a browser offers as URLs. Lines naming
// the dropped local files themselves do not count. Empty when nothing is left (only
// local files, or nothing textual): such a drop is refused.
QStringList droppedLinks(const QMimeData *data);
