// Whatever a server writes into Content-Disposition, the name it leads to is one
// visible entry inside the download folder: no path, no hidden file, no control or
// invisible character, short enough for the file system.

#include "download/request/ContentDisposition.h"
#include "download/request/ResponseName.h"

#include <QList>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArrayView value(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<QString> server = ContentDisposition::fileName(value);
    if (server && server->isEmpty())
        std::abort();
    const QString name = ResponseName::choose(QStringLiteral("fallback.bin"), server, {}).name;
    if (name.isEmpty() || name.contains(u'/') || name.contains(u'\\') || name.at(0) == u'.' || name.at(0).isSpace()
        || name.toUtf8().size() > 240)
        std::abort();
    for (const char32_t c : name.toUcs4()) {
        if (c < 32 || (c >= 127 && c < 0xa0) || QChar::category(c) == QChar::Other_Format)
            std::abort();
    }
    if (ResponseName::cleanName(name) != name)
        std::abort();
    return 0;
}
