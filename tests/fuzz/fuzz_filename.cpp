// A file name taken from any URL holds no separator character and ends where the URL or
// its fragment ends, and an entry made from a URL gives the same name and URL back when
// taken apart.

#include "urllist/UrlEntry.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString url = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString name = fileNameFromUrl(url);
    const qsizetype fragment = url.indexOf(u'#');
    if (name.contains(u'/') || name.contains(u'\\') || name.contains(u':')
        || !(url.endsWith(name) || (fragment >= 0 && url.left(fragment).endsWith(name))))
        std::abort();
    // Names that run into the separator ("->", " ->", "-> x") make entries that read
    // differently: the first " -> " wins, and a line starting with "-> " is taken as an
    // empty name whose leading blank the list file trimmed away.
    const QString made = UrlEntry::make(url);
    if (!url.contains(Separator) && made.indexOf(Separator) == name.size()
        && !made.startsWith(Separator.mid(1))) {
        const UrlEntry entry = UrlEntry::parse(UrlEntry::make(url));
        if (entry.url != url || entry.fileName != name)
            std::abort();
    }
    const UrlEntry any = UrlEntry::parse(url);
    if (!url.contains(any.url))
        std::abort();
    return 0;
}
