#pragma once

// Renames that never lose a file standing under the target's name.
namespace Rename {
// Moves from to to unless something already has that name (then EEXIST).
// 0, or the errno. Where the kernel or file system cannot rename without
// replacing, a hard link is made instead (it never replaces either) and *linked
// says so: from then still has to be removed by the caller.
int noReplace(const char *from, const char *to, bool *linked);
// Swaps the two names in one step; 0, or the errno (ENOENT when either is
// missing, EINVAL where the file system cannot swap).
int exchange(const char *a, const char *b);
} // namespace Rename
