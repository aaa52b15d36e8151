// SPDX-License-Identifier: GPL-2.0-or-later
#include "direntries.h"

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstddef>
#include <cstring>

DirEntries::DirEntries(int dirFd, char *buffer, std::size_t size, bool shortReadEnds)
    : m_dirFd(dirFd), m_buffer(buffer), m_size(size), m_shortReadEnds(shortReadEnds)
{
}

const char *DirEntries::next(unsigned char *type)
{
    for (;;) {
        if (m_offset >= m_filled) {
            if (m_ended)
                return nullptr;
            const ssize_t count = getdents64(m_dirFd, m_buffer, m_size);
            if (count < 0 && errno == EINTR)
                continue;
            if (count <= 0) {
                m_error = count < 0 ? -errno : 0;
                return nullptr;
            }
            m_filled = static_cast<std::size_t>(count);
            m_offset = 0;
            // The largest record: its header, a name of NAME_MAX bytes and
            // the terminator, aligned to 8.
            constexpr std::size_t kLargestRecord =
                (offsetof(struct dirent64, d_name) + NAME_MAX + 1 + 7) & ~std::size_t(7);
            m_ended = m_shortReadEnds && m_filled + kLargestRecord <= m_size;
        }
        // The kernel aligns each record for struct dirent64.
        const auto *entry = reinterpret_cast<const struct dirent64 *>(m_buffer + m_offset);
        m_offset += entry->d_reclen;
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        if (type)
            *type = entry->d_type;
        return name;
    }
}

int DirEntries::rewind()
{
    m_filled = m_offset = 0;
    m_ended = false;
    m_error = 0;
    return lseek(m_dirFd, 0, SEEK_SET) == 0 ? 0 : -errno;
}

int pidOfProcEntry(const char *name)
{
    if (*name == '\0')
        return 0;
    long pid = 0;
    for (const char *c = name; *c; ++c) {
        if (*c < '0' || *c > '9')
            return 0;
        pid = pid * 10 + (*c - '0');
        if (pid > 0x7fffffffL)
            return 0;
    }
    return static_cast<int>(pid);
}

bool fdDirPathOf(const char *name, char (&path)[kFdDirPathSize])
{
    assert(name && !std::strchr(name, '/'));
    const std::size_t nameLength = std::strlen(name);
    if (nameLength > NAME_MAX)
        return false;
    std::memcpy(path, name, nameLength);
    std::memcpy(path + nameLength, "/fd", sizeof "/fd");
    return true;
}
