// SPDX-License-Identifier: GPL-2.0-or-later
#include "mounttable.h"

#include "ownedfd.h"

#include <libmount/libmount.h>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>

namespace {

// The one way a table is parsed: the mountinfo syntax (escapes, optional
// fields) is libmount's to know.
struct LibmountTable
{
    libmnt_table *table = mnt_new_table();
    ~LibmountTable() { mnt_unref_table(table); }
};

} // namespace

int MountTable::read(int dirFd, const char *path)
{
    const OwnedFd file(openat(dirFd, path, O_RDONLY | O_CLOEXEC));
    if (!file)
        return -errno;
    QByteArray text;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return -errno;
        if (count == 0)
            break;
        text.append(buffer, static_cast<int>(count));
    }
    parse(text);
    return m_entries.empty() ? -ENODATA : 0;
}

void MountTable::parse(const QByteArray &text)
{
    m_entries.clear();
    m_byId.clear();
    // Read from memory: the file was opened below a /proc directory descriptor.
    QByteArray bytes = text;
    FILE *stream = fmemopen(bytes.data(), static_cast<std::size_t>(bytes.size()), "r");
    const LibmountTable parsed;
    if (!stream || !parsed.table)
        return;
    const int failed = mnt_table_parse_stream(parsed.table, stream, "mountinfo");
    (void)std::fclose(stream); // read only: nothing to lose
    if (failed != 0)
        return;
    libmnt_iter *iterator = mnt_new_iter(MNT_ITER_FORWARD);
    libmnt_fs *fs = nullptr;
    while (iterator && mnt_table_next_fs(parsed.table, iterator, &fs) == 0) {
        const char *root = mnt_fs_get_root(fs);
        const char *target = mnt_fs_get_target(fs);
        const char *type = mnt_fs_get_fstype(fs);
        if (!root || !target)
            continue;
        MountEntry entry{mnt_fs_get_id(fs), mnt_fs_get_parent_id(fs), mnt_fs_get_devno(fs),
                         QByteArray(root),  QByteArray(target),       QByteArray(type ? type : "")};
        m_byId[entry.id] = m_entries.size();
        m_entries.push_back(std::move(entry));
    }
    mnt_free_iter(iterator);
}

const MountEntry *MountTable::byId(int id) const
{
    const auto found = m_byId.find(id);
    return found == m_byId.end() ? nullptr : &m_entries[found->second];
}

const MountEntry *MountTable::containing(const QByteArray &path) const
{
    const MountEntry *best = nullptr;
    for (const MountEntry &entry : m_entries) {
        if (isPathAtOrBelow(path, entry.mountPoint)
            && (!best || entry.mountPoint.size() >= best->mountPoint.size()))
            best = &entry;
    }
    return best;
}

bool isPathAtOrBelow(const QByteArray &path, const QByteArray &base)
{
    if (base == "/")
        return path.startsWith('/');
    return path.startsWith(base) && (path.size() == base.size() || path.at(base.size()) == '/');
}

QByteArray pathBelow(const QByteArray &path, const QByteArray &base)
{
    assert(isPathAtOrBelow(path, base));
    QByteArray rest = path.mid(base == "/" ? 0 : base.size());
    while (rest.startsWith('/'))
        rest.remove(0, 1);
    return rest;
}

QByteArray joinedPath(const QByteArray &base, const QByteArray &relative)
{
    if (relative.isEmpty())
        return base;
    if (base.isEmpty() || base.endsWith('/'))
        return base + relative;
    return base + '/' + relative;
}
