#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <openssl/types.h>

// What a link says its body must hash to, written into its fragment as package indexes
// write it: "…/file.tar.gz#sha256=<hex>", several parameters joined by "&" allowed. A
// fragment is never sent to the server, so such a link still means the same resource
// to every other program.
namespace Checksum {
struct Sum
{
    QByteArray algorithm; // "sha256"; a link may write it in capitals
    const EVP_MD *digest = nullptr;
    QByteArray expected; // lower-case hex
};

struct Wanted
{
    QList<Sum> sums; // at most one per algorithm
    QString error;   // German, safe to show; set when the fragment names a sum badly
};

// The sums the URL fragment (as libcurl reads it, without "#") asks for. A parameter
// that names no hash (a page anchor) is no concern of ours; one that names a hash this
// program does not compute, or gives a value of the wrong form, is an error: the link
// would otherwise arrive unchecked while its writer believes it checked.
Wanted fromFragment(const QString &fragment);
} // namespace Checksum
