// Writes the program's icon as the PNGs the desktop entry installs, from the same
// drawing the window uses: make_icons OUTPUT_DIR
// The PNGs are kept in tools/icons/; run this again only when the drawing changes.

#include "shell/MainForm.h"

#include <QDir>
#include <QGuiApplication>
#include <QPixmap>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_icons OUTPUT_DIR\n");
        return 2;
    }
    const QDir out(QString::fromLocal8Bit(argv[1]));
    for (const int size : {16, 32, 48, 128}) {
        const QString path = out.filePath(QStringLiteral("quorvex-%1.png").arg(size));
        if (!quorvexIconPixmap(size).save(path, "PNG")) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
