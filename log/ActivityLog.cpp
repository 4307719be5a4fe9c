#include "log/ActivityLog.h"

#include <QDateTime>
#include <QLocale>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTime>

#include <chrono>

ActivityLog::ActivityLog(QObject *parent)
    : QAbstractListModel(parent)
    , m_timeFormat(timeFormat())
{
    m_catchUpTimer.setSingleShot(true);
    connect(&m_catchUpTimer, &QTimer::timeout, this, &ActivityLog::catchUp);
}

ActivityLog::~ActivityLog()
{
    flushEcho();
}

QString ActivityLog::timeFormat()
{
    // The long format is the one with seconds; it ends in a time-zone name ("t"),
    // which the log has no use for. Quoted literal text is left alone.
    const QString format = QLocale::system().timeFormat(QLocale::LongFormat);
    QString result;
    bool quoted = false;
    for (const QChar c : format) {
        if (c == u'\'')
            quoted = !quoted;
        if (!quoted && c == u't')
            continue;
        result += c;
    }
    result = result.trimmed();
    return result.isEmpty() ? QStringLiteral("HH:mm:ss") : result;
}

const QString &ActivityLog::timeStamp()
{
    // Formatting the time costs more than the rest of WriteLog; it changes once a second.
    const qint64 second = std::chrono::duration_cast<std::chrono::seconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    if (second != m_stampSecond) {
        m_stampSecond = second;
        m_stamp = QLocale::system().toString(QTime::currentTime(), m_timeFormat);
    }
    return m_stamp;
}

void ActivityLog::WriteLog(const QString &message)
{
    while (m_lines.size() >= MaxLines)
        m_lines.removeFirst();
    QString text;
    const QString &stamp = timeStamp();
    text.reserve(stamp.size() + 2 + message.size());
    text += stamp;
    text += u": ";
    text += message;
    if (m_echo) {
        const QByteArray bytes = text.toUtf8();
        std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_echo);
        std::fputc('\n', m_echo);
    }
    m_lines.append(std::move(text));
    scheduleCatchUp();
}

void ActivityLog::Clear()
{
    beginResetModel();
    m_lines.clear();
    endResetModel();
    Q_EMIT caughtUp(-1);
}

void ActivityLog::setEcho(std::FILE *stream)
{
    m_echo = stream;
}

void ActivityLog::flushEcho()
{
    if (m_echo)
        std::fflush(m_echo);
}

void ActivityLog::scheduleCatchUp()
{
    if (m_catchUpPending)
        return;
    m_catchUpPending = true;
    // After a quiet spell the view follows on the next pass; while lines keep coming,
    // it follows every CatchUpInterval.
    const qint64 since = m_lastCatchUp.isValid() ? m_lastCatchUp.elapsed() : CatchUpInterval;
    if (since >= CatchUpInterval)
        QMetaObject::invokeMethod(this, &ActivityLog::catchUp, Qt::QueuedConnection);
    else
        m_catchUpTimer.start(int(CatchUpInterval - since));
}

void ActivityLog::catchUp()
{
    m_catchUpPending = false;
    m_lastCatchUp.start();
    // One reset per pass is cheaper than row signals per line, and the view only
    // lays out what it shows.
    beginResetModel();
    endResetModel();
    flushEcho();
    Q_EMIT caughtUp(selectedRow());
}

int ActivityLog::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant ActivityLog::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_lines.size())
        return {};
    return m_lines.at(index.row());
}
