#include "urllist/UrlList.h"

#include <QDir>
#include <QMimeData>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QUrl>

// Text/x-moz-url is "url\ntitle" pairs in UTF-16 of the sender's byte order; some
// senders add a byte-order mark or a closing NUL, a few send UTF-8.
static QStringList mozUrlLinks(const QByteArray &bytes)
{
    QString text;
    if (bytes.startsWith("\xFF\xFE") || (bytes.size() >= 2 && bytes.at(0) != 0 && bytes.at(1) == 0))
        text = QStringDecoder(QStringDecoder::Utf16LE).decode(bytes);
    else if (bytes.startsWith("\xFE\xFF") || (bytes.size() >= 2 && bytes.at(0) == 0 && bytes.at(1) != 0))
        text = QStringDecoder(QStringDecoder::Utf16BE).decode(bytes);
    else
        text = QString::fromUtf8(bytes);
    text.remove(QChar(0));
    const QStringList lines = text.split(u'\n');
    QStringList links;
    for (qsizetype i = 0; i < lines.size(); i += 2) {
        const QString link = lines.at(i).trimmed();
        if (!link.isEmpty())
            links.append(link);
    }
    return links;
}

QStringList droppedLinks(const QMimeData *data)
{
    if (!data)
        return {};
    // A file manager names its files twice: as file:// URLs and, on X11, once more as
    // text (paths or file:// URIs). Neither is a link to download.
    QSet<QString> localFiles;
    QStringList webLinks;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            localFiles.insert(QDir::cleanPath(url.toLocalFile()));
        else if (!url.isEmpty())
            webLinks.append(url.toString());
    }
    const auto isDroppedFile = [&localFiles](const QString &line) {
        if (localFiles.isEmpty())
            return false;
        if (localFiles.contains(QDir::cleanPath(line)))
            return true;
        const QUrl url(line);
        return url.isLocalFile() && localFiles.contains(QDir::cleanPath(url.toLocalFile()));
    };

    QStringList links;
    if (data->hasText()) {
        static const QRegularExpression lineEnd(QStringLiteral("\r\n|\r|\n"));
        for (const QString &line : data->text().split(lineEnd)) {
            const QString link = line.trimmed();
            if (!link.isEmpty() && !isDroppedFile(link))
                links.append(link);
        }
    }
    if (links.isEmpty())
        links = webLinks;
    // Qt reads text/x-moz-url as URLs only on X11; elsewhere it is left to us.
    if (links.isEmpty() && data->hasFormat(QStringLiteral("text/x-moz-url"))) {
        for (const QString &link : mozUrlLinks(data->data(QStringLiteral("text/x-moz-url")))) {
            if (!isDroppedFile(link))
                links.append(link);
        }
    }
    return links;
}
