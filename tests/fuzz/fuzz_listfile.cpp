// Any bytes may stand in a list file. Reading must never fail, and what it reads must
// come back unchanged, text and bytes, after a save.

#include "urllist/ListFileFormat.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<ListLine> lines = parseListLines(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    QByteArray saved;
    for (const ListLine &line : lines) {
        const QString &text = line.text;
        if (text.isEmpty() || text.startsWith(u' ') || text.endsWith(u' ') || text.contains(u'\r')
            || text.contains(u'\n') || line.bytes.isEmpty() || line.bytes.contains('\r') || line.bytes.contains('\n'))
            std::abort();
        saved += line.bytes + "\r\n";
    }
    if (parseListLines(saved) != lines)
        std::abort();
    return 0;
}
