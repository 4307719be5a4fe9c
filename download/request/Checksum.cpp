#include "download/request/Checksum.h"

#include <QStringList>

#include <openssl/evp.h>

#include <algorithm>
#include <array>

namespace {
struct Known
{
    const char *name;
    qsizetype hexDigits;
    const EVP_MD *(*digest)();
};
constexpr std::array<Known, 3> Computed{{{"sha256", 64, &EVP_sha256}, {"sha384", 96, &EVP_sha384}, {"sha512", 128, &EVP_sha512}}};

// Hashes a link may name, with "-" and "_" left out: those not computed here, and ours
// written another way ("SHA-256"). Such a link is refused rather than taken unchecked.
const QStringList &otherHashes()
{
    static const QStringList names{QStringLiteral("md5"),      QStringLiteral("sha1"),      QStringLiteral("sha224"),
                                   QStringLiteral("sha512224"), QStringLiteral("sha512256"), QStringLiteral("sha3224"),
                                   QStringLiteral("sha3256"),   QStringLiteral("sha3384"),   QStringLiteral("sha3512"),
                                   QStringLiteral("blake2b"),   QStringLiteral("blake2s"),   QStringLiteral("blake3"),
                                   QStringLiteral("shake128"),  QStringLiteral("shake256"),  QStringLiteral("sha256"),
                                   QStringLiteral("sha384"),    QStringLiteral("sha512")};
    return names;
}

const Known *computed(const QString &name)
{
    for (const Known &known : Computed) {
        if (name == QLatin1String(known.name))
            return &known;
    }
    return nullptr;
}

bool isHex(const QString &value)
{
    return std::all_of(value.cbegin(), value.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= u'0' && u <= u'9') || (u >= u'a' && u <= u'f') || (u >= u'A' && u <= u'F');
    });
}

// One "name=value" parameter; false with *error set when it names a hash badly.
bool take(const QString &parameter, QList<Checksum::Sum> *sums, QString *error)
{
    const qsizetype equals = parameter.indexOf(u'=');
    if (equals <= 0)
        return true;
    const QString name = parameter.left(equals).toLower();
    const QString value = parameter.mid(equals + 1);
    const Known *known = computed(name);
    if (!known) {
        if (!otherHashes().contains(QString(name).remove(u'-').remove(u'_')))
            return true;
        *error = QStringLiteral("Prüfverfahren %1 in der Adresse wird nicht unterstützt; verstanden werden sha256, "
                                "sha384 und sha512").arg(name);
        return false;
    }
    if (value.size() != known->hexDigits || !isHex(value)) {
        *error = QStringLiteral("Ungültige Prüfsumme in der Adresse: %1 verlangt %2 Hexadezimalziffern")
                     .arg(name)
                     .arg(known->hexDigits);
        return false;
    }
    const QByteArray expected = value.toLatin1().toLower();
    for (const Checksum::Sum &sum : std::as_const(*sums)) {
        if (sum.algorithm == name.toLatin1() && sum.expected != expected) {
            *error = QStringLiteral("Widersprüchliche Prüfsummen in der Adresse: %1 zweimal mit verschiedenen Werten").arg(name);
            return false;
        }
        if (sum.algorithm == name.toLatin1())
            return true;
    }
    sums->append({name.toLatin1(), known->digest(), expected});
    return true;
}
} // namespace

Checksum::Wanted Checksum::fromFragment(const QString &fragment)
{
    Wanted wanted;
    if (fragment.isEmpty())
        return wanted;
    for (const QString &parameter : fragment.split(u'&')) {
        if (!take(parameter, &wanted.sums, &wanted.error)) {
            wanted.sums.clear();
            break;
        }
    }
    return wanted;
}
