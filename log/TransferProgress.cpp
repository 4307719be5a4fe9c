#include "log/TransferProgress.h"

#include "log/SafeText.h"

#include <algorithm>

namespace {
constexpr qsizetype MaxNameLength = 60;

QString decimal(double value)
{
    return QString::number(value, 'f', 1).replace(u'.', u',');
}
} // namespace

TransferProgress::TransferProgress(QObject *parent)
    : QObject(parent)
{
    m_late.setSingleShot(true);
    connect(&m_late, &QTimer::timeout, this, &TransferProgress::show);
}

void TransferProgress::show()
{
    m_late.stop();
    m_sinceShown.start();
    Q_EMIT changed();
}

void TransferProgress::begin(int row, const QString &fileName)
{
    m_active = true;
    m_name = displayName(fileName);
    m_received = 0;
    m_total = -1;
    m_sinceBegin.start();
    Q_EMIT entryStarted(row);
    show();
}

void TransferProgress::rename(const QString &fileName)
{
    if (!m_active)
        return;
    m_name = displayName(fileName);
    show();
}

void TransferProgress::update(qint64 received, qint64 total)
{
    if (!m_active)
        return;
    m_received = std::max<qint64>(received, 0);
    m_total = total;
    // The last report of a body always shows; the others only so often.
    const bool complete = total >= 0 && received >= total;
    const qint64 since = m_sinceShown.elapsed();
    if (complete || since >= UpdateInterval)
        show();
    else if (!m_late.isActive())
        m_late.start(int(UpdateInterval - since));
}

void TransferProgress::end()
{
    if (!m_active)
        return;
    m_active = false;
    m_late.stop();
    Q_EMIT finished();
}

int TransferProgress::percent() const
{
    if (m_total <= 0)
        return m_total == 0 ? 100 : -1;
    return int(std::min<qint64>(100, m_received * 100 / m_total));
}

double TransferProgress::rate() const
{
    const qint64 ms = m_sinceBegin.isValid() ? m_sinceBegin.elapsed() : 0;
    return m_received > 0 ? m_received * 1000.0 / double(std::max<qint64>(ms, 1)) : 0.0;
}

qint64 TransferProgress::secondsLeft() const
{
    const double bytesPerSecond = rate();
    if (m_total < 0 || bytesPerSecond <= 0)
        return -1;
    return qint64((std::max<qint64>(m_total - m_received, 0)) / bytesPerSecond + 0.5);
}

QString TransferProgress::titleText() const
{
    const QString program = QStringLiteral("Quorvex");
    if (!m_active)
        return program;
    QString text = program + QStringLiteral(" – ");
    if (percent() >= 0)
        text += QString::number(percent()) + QStringLiteral(" % ");
    else if (m_received > 0)
        text += byteText(m_received) + QStringLiteral(" (") + rateText(rate()) + QStringLiteral(") ");
    return text + m_name;
}

QString TransferProgress::lineText() const
{
    QString text = m_name + QStringLiteral("  ") + byteText(m_received);
    if (m_total >= 0)
        text += QStringLiteral(" von ") + byteText(m_total) + QStringLiteral("  ") + QString::number(percent())
            + QStringLiteral(" %");
    if (m_received > 0)
        text += QStringLiteral("  ") + rateText(rate());
    const qint64 left = secondsLeft();
    if (left >= 0)
        text += QStringLiteral("  noch ") + durationText(left);
    return text;
}

QString TransferProgress::displayName(const QString &raw)
{
    QString name;
    name.reserve(std::min(raw.size(), MaxNameLength + 1));
    for (const QChar c : raw) {
        if (name.size() >= MaxNameLength) {
            if (name.back().isHighSurrogate())
                name.chop(1);
            name += u'…';
            break;
        }
        name += isHiddenCharacter(c.unicode()) ? QChar(u'?') : c;
    }
    return name;
}

QString TransferProgress::byteText(qint64 bytes)
{
    if (bytes < 1000)
        return QString::number(bytes) + QStringLiteral(" Byte");
    static const char *const units[] = {"kB", "MB", "GB", "TB", "PB"};
    double value = double(bytes);
    int unit = -1;
    while (value >= 999.95 && unit < 4) {
        value /= 1000.0;
        ++unit;
    }
    return decimal(value) + u' ' + QLatin1String(units[unit]);
}

QString TransferProgress::rateText(double bytesPerSecond)
{
    return byteText(qint64(bytesPerSecond)) + QStringLiteral("/s");
}

QString TransferProgress::secondsText(qint64 milliseconds)
{
    if (milliseconds % 1000 == 0)
        return QString::number(milliseconds / 1000);
    QString text = QString::number(double(milliseconds) / 1000.0, 'f', 3);
    while (text.endsWith(u'0'))
        text.chop(1);
    return text.replace(u'.', u',');
}

QString TransferProgress::durationText(qint64 seconds)
{
    const qint64 h = seconds / 3600, m = seconds / 60 % 60, s = seconds % 60;
    const QString ss = QStringLiteral("%1").arg(s, 2, 10, QLatin1Char('0'));
    if (h > 0)
        return QStringLiteral("%1:%2:").arg(h).arg(m, 2, 10, QLatin1Char('0')) + ss;
    return QString::number(m) + u':' + ss;
}
