// Placeholder until the libcurl transfer lands: every request fails at once.
#include "download/Inet.h"

class Inet::Private
{
public:
    int timeoutMs = 45000;
    qint32 code = 0;
    QString info;
};

Inet::Inet(QObject *parent) : QObject(parent), d(std::make_unique<Private>()) {}
Inet::~Inet() = default;
void Inet::setRequestTimeout(int seconds) { d->timeoutMs = seconds * 1000; }
int Inet::RequestTimeout() const { return d->timeoutMs / 1000; }
void Inet::setRequestTimeoutMs(int milliseconds) { d->timeoutMs = milliseconds; }
void Inet::setSpoolDir(const QString &) {}
void Inet::Execute(const QString &)
{
    d->code = NetworkFailure;
    d->info = QStringLiteral("nicht verfügbar");
    Q_EMIT StateChanged(11);
    Q_EMIT StateChanged(12);
}
QByteArray Inet::GetChunk(int) { throw TransferError(d->code, d->info); }
void Inet::Cancel() { d->code = 0; d->info.clear(); }
qint32 Inet::ResponseCode() const { return d->code; }
QString Inet::ResponseInfo() const { return d->info; }
void Inet::RemoveSpoolLeftovers(const QString &) {}
