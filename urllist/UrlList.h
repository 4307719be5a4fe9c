#pragma once

#include <QAbstractListModel>
#include <QStringList>

class ActivityLog;
class QMimeData;

// The URL list (the rows of Liste) and the list file that mirrors it.
class UrlList : public QAbstractListModel
{
    Q_OBJECT

public:
    explicit UrlList(ActivityLog *log, QObject *parent = nullptr);

    void setFile(const QString &path) { m_file = path; }
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
    // Rewrites the whole file atomically. A failure is reported in the log and false
    // returned; the list stays as it is and the next save catches up.
    bool SaveUrlList();
    // True once any load or save of this list failed.
    bool fileTroubleSeen() const { return m_fileTrouble; }

    // A save writes the hidden ".<list file name>.spare" beside the list first and
    // then swaps the two. Removing it (at start and at the end) leaves just the list.
    void RemoveSaveLeftovers() const;
    static QString spareFile(const QString &listFile);

    // Adds "name -> url" unless the same line is already in the list, then saves.
    void AddUrl(const QString &url);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    ActivityLog *m_log;
    QString m_file;
    QStringList m_lines;
    bool m_fileTrouble = false;
    bool m_unreadEntries = false;
};

// The lines of a list file: split at CR LF, lone CR or lone LF, blanks (not tabs)
// trimmed at both ends, empty lines dropped. The bytes are UTF-8, or UTF-16 with a
// byte-order mark, or else windows-1252.
QStringList ParseListFile(const QByteArray &bytes);

// The links in a drop on the list: one per non-empty line of its text, stripped of
// surrounding blanks; without text, the links a browser offers as URLs. Lines naming
// the dropped local files themselves do not count. Empty when nothing is left (only
// local files, or nothing textual): such a drop is refused.
QStringList DroppedLinks(const QMimeData *data);
