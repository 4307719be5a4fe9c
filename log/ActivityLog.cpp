#include "log/ActivityLog.h"

#include <QDateTime>
#include <QLocale>
#include <QMetaObject>
#include <QRegularExpression>
#include <QTime>

#include <algorithm>
#include <chrono>

ActivityLog::ActivityLog(QObject *parent)
    : QAbstractListModel(parent)
    , m_timeFormat(timeFormat())
{
    m_catchUpTimer.setSingleShot(true);
    connect(&m_catchUpTimer, &QTimer::timeout, this, &ActivityLog::catchUp);
}

ActivityLog::WindowOnly::WindowOnly(ActivityLog *log, bool active)
    : m_log(log)
    , m_active(active)
{
    if (m_active)
        ++m_log->m_echoHeld;
}

ActivityLog::WindowOnly::~WindowOnly()
{
    if (m_active)
        --m_log->m_echoHeld;
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

QString ActivityLog::stamped(const QString &message)
{
    // Written for every piece of a body: one allocation and two copies, nothing that
    // grows or checks capacity on the way.
    const QString &stamp = timeStamp();
    QString text(stamp.size() + 2 + message.size(), Qt::Uninitialized);
    QChar *out = std::copy_n(stamp.constData(), stamp.size(), text.data());
    *out++ = u':';
    *out++ = u' ';
    std::copy_n(message.constData(), message.size(), out);
    return text;
}

void ActivityLog::WriteLog(const QString &message)
{
    while (count() >= MaxLines) {
        if (m_dropped < m_lines.size())
            ++m_dropped;
        else
            m_pending.removeFirst();
    }
    QString text = stamped(message);
    if (m_echo && m_echoHeld == 0)
        writeEcho(text);
    m_pending.append(std::move(text));
    scheduleCatchUp();
}

void ActivityLog::echoOnly(const QString &message)
{
    if (m_echo)
        writeEcho(stamped(message));
}

void ActivityLog::writeEcho(const QString &text)
{
    if (m_beforeEcho)
        m_beforeEcho();
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_echo);
    std::fputc('\n', m_echo);
    if (std::ferror(m_echo))
        stopEcho();
}

void ActivityLog::stopEcho()
{
    // Nobody reads any more (a pager quit, a closed pipe, a full disk): the run
    // matters more than its transcript.
    std::fprintf(stderr, "Quorvex: Standardausgabe nicht beschreibbar, die Log-Zeilen enden hier\n");
    m_echo = nullptr;
}

QString ActivityLog::line(int row) const
{
    if (row < 0 || row >= count())
        return {};
    const qsizetype known = m_lines.size() - m_dropped;
    return row < known ? m_lines.at(m_dropped + row) : m_pending.at(row - known);
}

QStringList ActivityLog::lines() const
{
    QStringList result = m_lines.mid(m_dropped);
    result += m_pending;
    return result;
}

void ActivityLog::clear()
{
    beginResetModel();
    m_lines.clear();
    m_pending.clear();
    m_dropped = 0;
    endResetModel();
    Q_EMIT caughtUp(-1);
}

void ActivityLog::setEcho(std::FILE *stream)
{
    // A reader that goes away early (`| head`) must not end the run: the program
    // ignores SIGPIPE from its start (SignalRelay), so such a write fails with EPIPE.
    m_echo = stream;
}

void ActivityLog::flushEcho()
{
    if (m_echo && std::fflush(m_echo) != 0)
        stopEcho();
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
    if (m_dropped > 0) {
        beginRemoveRows(QModelIndex(), 0, int(m_dropped) - 1);
        m_lines.remove(0, m_dropped);
        m_dropped = 0;
        endRemoveRows();
    }
    if (!m_pending.isEmpty()) {
        const int first = int(m_lines.size());
        beginInsertRows(QModelIndex(), first, first + int(m_pending.size()) - 1);
        m_lines.append(std::move(m_pending));
        m_pending.clear();
        endInsertRows();
    }
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
