// Dropped text of any shape becomes links without line breaks or surrounding blanks.

#include "urllist/UrlList.h"

#include <QMimeData>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QMimeData mime;
    mime.setText(QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size)));
    for (const QString &link : droppedLinks(&mime)) {
        if (link.isEmpty() || link != link.trimmed() || link.contains(u'\r') || link.contains(u'\n'))
            std::abort();
    }
    return 0;
}
