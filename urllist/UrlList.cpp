#include "urllist/UrlList.h"

#include "log/ActivityLog.h"
#include "urllist/UrlEntry.h"

#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QSaveFile>
#include <QStringDecoder>
#include <QRegularExpression>
#include <QUrl>

#include <algorithm>

UrlList::UrlList(ActivityLog *log, QObject *parent)
    : QAbstractListModel(parent)
    , m_log(log)
{
}

void UrlList::append(const QString &line)
{
    beginInsertRows({}, int(m_lines.size()), int(m_lines.size()));
    m_lines.append(line);
    endInsertRows();
}

void UrlList::removeAt(int row)
{
    if (row < 0 || row >= m_lines.size())
        return;
    beginRemoveRows({}, row, row);
    m_lines.removeAt(row);
    endRemoveRows();
}

static QString decodeListFile(const QByteArray &bytes)
{
    // Lists written on old Windows machines are windows-1252; reading them as UTF-8
    // would turn their umlauts into replacement characters.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    QStringDecoder cp1252("windows-1252");
    if (cp1252.isValid())
        return cp1252.decode(bytes);
    return QString::fromLatin1(bytes);
}

bool UrlList::LoadUrlList()
{
    m_log->WriteLog(QStringLiteral("Kommando: LoadUrlList"));
    const QFileInfo info(m_file);
    if (!info.exists() || !info.isFile())
        return true;
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly)) {
        m_fileTrouble = true;
        m_log->WriteLog(QStringLiteral("### Liste %1 kann nicht gelesen werden: %2").arg(m_file, file.errorString()));
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_fileTrouble = true;
        m_log->WriteLog(QStringLiteral("### Liste %1 kann nicht gelesen werden: %2").arg(m_file, file.errorString()));
        return false;
    }
    const QString text = decodeListFile(bytes);
    qsizetype start = 0;
    const qsizetype n = text.size();
    QStringList loaded;
    while (start < n) {
        qsizetype end = start;
        while (end < n && text.at(end) != u'\r' && text.at(end) != u'\n')
            ++end;
        // Only blanks are trimmed; tabs and other characters belong to the line.
        qsizetype a = start, b = end;
        while (a < b && text.at(a) == u' ')
            ++a;
        while (b > a && text.at(b - 1) == u' ')
            --b;
        if (b > a)
            loaded.append(text.mid(a, b - a));
        if (end < n && text.at(end) == u'\r' && end + 1 < n && text.at(end + 1) == u'\n')
            ++end;
        start = end + 1;
    }
    if (!loaded.isEmpty()) {
        beginInsertRows({}, int(m_lines.size()), int(m_lines.size() + loaded.size() - 1));
        m_lines.append(loaded);
        endInsertRows();
    }
    return true;
}

bool UrlList::SaveUrlList()
{
    m_log->WriteLog(QStringLiteral("Kommando: SaveUrlList"));
    QByteArray bytes;
    for (const QString &line : std::as_const(m_lines)) {
        bytes += line.toUtf8();
        bytes += "\r\n";
    }
    // A new file replaces the old one only when it is complete: a crash, a full disk
    // or a kill in the middle leaves the previous list.
    QSaveFile file(m_file);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        m_fileTrouble = true;
        m_log->WriteLog(QStringLiteral("### Liste %1 kann nicht gespeichert werden: %2").arg(m_file, file.errorString()));
        return false;
    }
    return true;
}

void UrlList::AddUrl(const QString &url)
{
    const QString entry = UrlEntry::make(url);
    if (m_lines.contains(entry))
        return;
    append(entry);
    SaveUrlList();
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

QStringList DroppedLinks(const QMimeData *data)
{
    if (!data)
        return {};
    QString text;
    const QList<QUrl> urls = data->urls();
    const bool onlyLocalFiles = !urls.isEmpty()
        && std::all_of(urls.begin(), urls.end(), [](const QUrl &u) { return u.isLocalFile(); });
    if (onlyLocalFiles)
        return {};
    if (data->hasText())
        text = data->text();
    else if (!urls.isEmpty())
        text = urls.first().toString();
    QStringList links;
    for (const QString &line : text.split(QRegularExpression(QStringLiteral("\r\n|\r|\n")))) {
        const QString link = line.trimmed();
        if (!link.isEmpty())
            links.append(link);
    }
    return links;
}
