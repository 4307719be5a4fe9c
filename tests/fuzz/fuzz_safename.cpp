// Whatever name a list line holds, the name used on disk stays one entry inside the
// download folder and fits the file system.

#include "log/SafeFileName.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString name = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString safe = safeFileName(name);
    if (safe.isEmpty() || safe == u"." || safe == u".." || safe.contains(u'/') || safe.toUtf8().size() > 240)
        std::abort();
    for (const QChar c : safe) {
        if (c.unicode() < 32 || c.unicode() == 127)
            std::abort();
    }
    if (safeFileName(safe) != safe)
        std::abort();
    return 0;
}
