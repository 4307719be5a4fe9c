// A file name taken from any URL holds no separator character, and an entry made from
// a URL gives the same name and URL back when taken apart.

#include "urllist/UrlEntry.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString url = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString name = FileNameFromUrl(url);
    if (name.contains(u'/') || name.contains(u'\\') || name.contains(u':') || !url.endsWith(name))
        std::abort();
    // A name that itself begins with "-> " cannot be told from a trimmed empty name.
    if (!url.contains(Separator) && !name.startsWith(Separator.mid(1))) {
        const UrlEntry entry = UrlEntry::parse(UrlEntry::make(url));
        if (entry.url != url || entry.fileName != name)
            std::abort();
    }
    const UrlEntry any = UrlEntry::parse(url);
    if (!url.contains(any.url))
        std::abort();
    return 0;
}
