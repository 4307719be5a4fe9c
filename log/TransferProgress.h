#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

// How far the entry being fetched is, for the displays that follow a run (the window
// title, a live line on a terminal). Fed by the transfer component's progress
// reports; tells its displays at most every UpdateInterval, so that showing the
// progress costs the transfer nothing worth measuring.
class TransferProgress : public QObject
{
    Q_OBJECT

public:
    static constexpr int UpdateInterval = 250; // ms

    explicit TransferProgress(QObject *parent = nullptr);

    // A new entry starts: its row in the URL list and its file name.
    void begin(int row, const QString &fileName);
    // The entry's file name became known from its response.
    void rename(const QString &fileName);
    // Connected to Inet::progress; total is -1 when unknown.
    void update(qint64 received, qint64 total);
    // The run is over.
    void end();

    bool active() const { return m_active; }
    QString name() const { return m_name; }
    qint64 received() const { return m_received; }
    qint64 total() const { return m_total; }
    // Whole percent, or -1 without a known total.
    int percent() const;
    // Bytes per second since the entry started; 0 before the first byte.
    double rate() const;
    // Seconds until the announced total, or -1 when that cannot be told.
    qint64 secondsLeft() const;

    // "Quorvex – 37 % setup.zip"; without a total the bytes and the rate instead of
    // the percentage; "Quorvex" between runs.
    QString titleText() const;
    // Name, bytes, percent, rate and time left, for a terminal line.
    QString lineText() const;

    // A name from a URL, fit to be shown: control and formatting characters (line
    // breaks, escape sequences, reversed text) become "?", and a long name is cut.
    static QString displayName(const QString &raw);
    // "980 Byte", "12,3 kB", "1,5 MB", "2,1 GB" (powers of 1000, decimal comma).
    static QString byteText(qint64 bytes);
    static QString rateText(double bytesPerSecond);
    // "0:07", "12:34", "1:02:03".
    static QString durationText(qint64 seconds);
    // A pause or time-out in the log: "45", "0,7", "1,25", "0,05" (whole seconds as
    // they are, the shortened ones of tests to the thousandth).
    static QString secondsText(qint64 milliseconds);

Q_SIGNALS:
    void entryStarted(int row);
    void changed();
    void finished();

private:
    void show();

    bool m_active = false;
    QString m_name;
    qint64 m_received = 0;
    qint64 m_total = -1;
    QElapsedTimer m_sinceBegin;
    QElapsedTimer m_sinceShown;
    // Shows a report that came too soon once its turn has come, so that the last
    // word before a stall is not lost.
    QTimer m_late;
};
