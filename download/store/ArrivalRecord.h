#pragma once

#include <QString>

// What a published body leaves behind until its entry has left the list, so that a
// kill in between never has the entry fetched a second time. Before its name is
// given, the body's part file gets a second, hidden link of the entry's own (the
// record), and the body notes on itself (an extended attribute) each name it is
// about to be published as. A record that is still a link of the file under the name
// it notes proves the arrival: any other file under that name (one the user put
// there, a newer download) is a different file, and a record whose file is gone has
// only one link left. Nothing is ever written through a record; it is only unlinked,
// so the published file keeps its bytes. Where the file system keeps no links or no
// attributes, nothing is recognised, and such an entry is fetched again.
namespace ArrivalRecord {
// Every record's name starts with this.
constexpr const char *Prefix = ".quorvex-done-";

// Where entry's record lies in dir. entry stands for one list line, so two lines of
// one URL have two records.
QString pathFor(const QString &dir, const QString &entry);
// Links the part file at part as entry's record in dir, replacing a record of the
// entry left from before. 0 or the errno.
int link(const QString &part, const QString &dir, const QString &entry);
// Notes on the body open as fd that it is about to be published as path. 0 or the
// errno; without the note the arrival is only not recognised.
int note(int fd, const QString &path);
// The path of entry's published file when its record proves it arrived; empty
// otherwise.
QString find(const QString &dir, const QString &entry);
// Removes entry's record; the published file stays as it is.
void drop(const QString &dir, const QString &entry);
// The file name of entry's record.
QString nameFor(const QString &entry);
} // namespace ArrivalRecord
