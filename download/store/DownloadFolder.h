#pragma once

#include <QString>

// The download folder beside the program, made when it is missing and checked once at
// start-up, so that a folder nothing can be written to is reported once instead of
// failing every entry alike.
class DownloadFolder
{
public:
    struct Check
    {
        bool usable = true;
        // The log line saying why the folder cannot be used; empty when there is
        // nothing to say.
        QString problem;
    };

    // programDir is the folder dir lives in; it explains a folder that cannot be made.
    static Check prepare(const QString &dir, const QString &programDir);

private:
    static QString whyNotCreated(const QString &dir, const QString &programDir);
};
