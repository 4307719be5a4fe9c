#include "shell/CommandLine.h"

QString CommandLine::Answer(const QStringList &arguments)
{
    if (arguments.size() != 1)
        return {};
    const QString &argument = arguments.first();
    if (argument == u"--help" || argument == u"-h")
        return UsageText();
    if (argument == u"--version")
        return VersionText();
    return {};
}

QString CommandLine::VersionText()
{
    return QStringLiteral("Quorvex " QUORVEX_VERSION "\n");
}

// Kept in step with docs/quorvex.1.
QString CommandLine::UsageText()
{
    return QStringLiteral(
        "Aufruf: quorvex [/DOWNLOAD]\n"
        "        quorvex --help | -h | --version\n"
        "\n"
        "Lädt eine Liste von Links per HTTP und HTTPS nacheinander in den Ordner\n"
        "Downloads im Programmordner (dem Ordner, in dem die Datei quorvex liegt).\n"
        "Ohne Argument öffnet sich das Fenster: Links aus dem Browser auf die Liste\n"
        "ziehen oder mit Strg+V einfügen, Entf entfernt den gewählten Eintrag,\n"
        "\"Jetzt laden\" lädt alle Einträge.\n"
        "\n"
        "  /DOWNLOAD     lädt die ganze Liste ohne Rückfrage und endet (Groß- und\n"
        "                Kleinschreibung und Leerzeichen davor und danach zählen\n"
        "                nicht); geht auch ohne Bildschirm, etwa für cron oder ssh\n"
        "  -h, --help    zeigt diesen Text\n"
        "  --version     zeigt die Version\n"
        "\n"
        "Dateien im Programmordner:\n"
        "  URL-Liste.INI   die Liste, eine Zeile je Eintrag: Dateiname -> URL\n"
        "  Downloads/      die geladenen Dateien\n"
        "\n"
        "Prüfsummen: steht im Fragment eines Links sha256=, sha384= oder sha512= mit\n"
        "dem Hexwert (allein oder unter mehreren mit & verbundenen Angaben), bekommt\n"
        "die Datei ihren Namen nur, wenn sie diese Prüfsumme hat; sonst bleibt der\n"
        "Eintrag als fehlgeschlagen in der Liste. Eine Zeile der Liste zum Beispiel:\n"
        "  setup.zip -> https://example.org/setup.zip#sha256=<64 Hexziffern>\n"
        "Das Fragment gehört nie zum abgeleiteten Dateinamen.\n"
        "\n"
        "Rückgabewert:\n"
        "  0  alles ist angekommen\n"
        "  1  etwas ist fehlgeschlagen, oder der Lauf wurde abgebrochen\n"
        "  2  der Download-Ordner oder die Listendatei ist nicht nutzbar, eine andere\n"
        "     Instanz arbeitet im selben Programmordner, oder (ohne /DOWNLOAD) es\n"
        "     gibt keinen Bildschirm\n"
        "\n"
        "Umgebungsvariablen für HTTPS:\n"
        "  SSL_CERT_FILE   Bündel vertrauenswürdiger Zertifizierungsstellen (sonst das\n"
        "                  des Systems; leer: keines)\n"
        "  SSL_CERT_DIR    Ordner mit solchen Zertifikaten unter Hash-Namen (sonst der\n"
        "                  des Systems; leer: keiner)\n"
        "\n"
        "Umgebungsvariablen (für Tests):\n"
        "  QUORVEX_REQUEST_TIMEOUT_MS   Zeitlimit einer Anfrage in ms (sonst 45000)\n"
        "  QUORVEX_RETRY_WAIT_MS        erste Pause vor einem neuen Versuch in ms\n"
        "                               (sonst 1000)\n"
        "  QUORVEX_COMMIT_GIVE_UP_MS    beim Beenden längstes Warten auf den\n"
        "                               Datenträger in ms (sonst 20000)\n");
}
