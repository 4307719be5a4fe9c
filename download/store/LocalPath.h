#pragma once

#include <QString>

#include <functional>

// Names in the download folder: the one place a download's final name is chosen
// and given.
class LocalPath
{
public:
    // How many numbered names are tried before a name counts as unobtainable.
    static constexpr int MaxNameTries = 1000000;

    // The first free name among name, (1)name, (2)name, ... in dir, starting at the
    // number in *counter (0 for the plain name) and leaving the next one there.
    // Anything of that name counts as taken: file, folder, socket, link (dangling or
    // not). Throws FileError when the folder cannot be asked (not a folder, no access)
    // or every name is taken: trying more names would not change the answer.
    static QString chooseLocalPath(const QString &dir, const QString &fileName, int *counter = nullptr);

    // Gives the file at from its final name: path when still free, otherwise the next
    // free numbered name of fileName in dir from counter on. Nothing is ever replaced:
    // whatever took a name meanwhile stays, and the next number is tried. beforeEach,
    // when given, hears of each name just before it is tried. Returns the path used.
    // Throws FileError.
    static QString publish(const QString &from, const QString &dir, const QString &fileName, const QString &path,
                           int counter, const std::function<void(const QString &)> &beforeEach = {});
    // Brings the names in dir to the disk. Throws FileError.
    static void syncFolder(const QString &dir);
};
