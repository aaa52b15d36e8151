// SPDX-License-Identifier: GPL-2.0-or-later
#include "mountstatus.h"

#include <libmount.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

namespace {

libmnt_table *readOwnMountTable()
{
    return mnt_new_table_from_file("/proc/self/mountinfo");
}

MountTableReader g_readMountTable = readOwnMountTable;

int statusFromTable(libmnt_table *table, const char *path)
{
    // With a cache the lookup also compares canonical paths, so a path through
    // a symbolic link finds the mount on its target.
    libmnt_cache *cache = mnt_new_cache();
    mnt_table_set_cache(table, cache);
    mnt_unref_cache(cache);

    libmnt_fs *fs = mnt_table_find_target(table, path, MNT_ITER_BACKWARD);
    return fs && mnt_fs_get_target(fs) ? 1 : 0;
}

// Sees only mounts that change the device; a bind mount from the same file
// system goes unnoticed here.
int statusFromParent(const char *path, const struct stat &own)
{
    char *canonical = mnt_resolve_path(path, nullptr);
    char parentPath[4096] = {};
    const int length = std::snprintf(parentPath, sizeof parentPath, "%s/..", canonical ? canonical : path);
    std::free(canonical);
    if (length < 0 || length >= static_cast<int>(sizeof parentPath))
        return 0;

    struct stat parent = {};
    if (stat(parentPath, &parent) != 0)
        return 0;
    return own.st_dev != parent.st_dev || own.st_ino == parent.st_ino ? 1 : 0;
}

} // namespace

MountTableReader replaceMountTableReader(MountTableReader reader)
{
    const MountTableReader previous = g_readMountTable;
    g_readMountTable = reader ? reader : readOwnMountTable;
    return previous;
}

int mountStatusOfPath(const char *path)
{
    libmnt_table *table = g_readMountTable();
    int status = 0;
    struct stat own = {};
    if (path && stat(path, &own) == 0)
        status = table ? statusFromTable(table, path) : statusFromParent(path, own);
    if (table)
        mnt_unref_table(table);
    return status;
}
