// Any bytes may stand in a list file. Reading must never fail, and what it reads must
// come back unchanged after a save.

#include "urllist/UrlList.h"

#include <QStringList>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QStringList lines = ParseListFile(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    QByteArray saved;
    for (const QString &line : lines) {
        if (line.isEmpty() || line.startsWith(u' ') || line.endsWith(u' ') || line.contains(u'\r')
            || line.contains(u'\n'))
            std::abort();
        saved += line.toUtf8() + "\r\n";
    }
    if (ParseListFile(saved) != lines)
        std::abort();
    return 0;
}
