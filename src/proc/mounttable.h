// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

#include <sys/types.h>

#include <unordered_map>
#include <vector>

// One line of a mountinfo table: the mount's id, its device, the directory of
// its file system it shows (root) and where it is mounted, as the namespace
// whose table it is sees it, and the file system's type (empty if the line
// gives none).
struct MountEntry
{
    int id = 0;
    int parentId = 0;
    dev_t device = 0;
    QByteArray root;
    QByteArray mountPoint;
    QByteArray type;
};

// The mount table of one mount namespace, in the kernel's order (a mount
// comes after the one it is mounted on).
class MountTable
{
public:
    // Reads "mountinfo" below dirFd (a /proc/<pid> or /proc/self directory
    // or, with name, one of its entries). 0, or -errno when it cannot be read
    // (-ENODATA: it names no mount).
    [[nodiscard]] int read(int dirFd, const char *path);
    // Parses the text of a mountinfo file.
    void parse(const QByteArray &text);

    const std::vector<MountEntry> &entries() const { return m_entries; }
    const MountEntry *byId(int id) const;
    // The mount a path of this namespace lies on: the last mounted of those
    // whose mount point is the path or one of its parents. Text only.
    const MountEntry *containing(const QByteArray &path) const;

private:
    std::vector<MountEntry> m_entries;
    std::unordered_map<int, std::size_t> m_byId;
};

// Whether path is base or lies below it, compared by whole components ("/"
// is below every base only when base is "/").
bool isPathAtOrBelow(const QByteArray &path, const QByteArray &base);
// path with base taken off, without a leading "/"; path must be at or below base.
QByteArray pathBelow(const QByteArray &path, const QByteArray &base);
// base and relative joined with one "/" (either may be empty).
QByteArray joinedPath(const QByteArray &base, const QByteArray &relative);
