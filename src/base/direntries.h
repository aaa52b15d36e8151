// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <fcntl.h>
#include <limits.h>

#include <cstddef>

// Reads the entries of an open directory with getdents64 into a buffer the
// caller owns, so that walking thousands of directories allocates nothing.
class DirEntries
{
public:
    // shortReadEnds: a read that leaves room for another entry is the last
    // (so for the fd directories of /proc, which fill the buffer while
    // descriptors remain), which saves the read that would return nothing.
    DirEntries(int dirFd, char *buffer, std::size_t size, bool shortReadEnds = false);

    // The next entry's name, or nullptr at the end or on a read error; "." and
    // ".." are passed over. type receives the entry's d_type.
    const char *next(unsigned char *type = nullptr);
    // -errno of the read that ended the listing early, or 0.
    int error() const { return m_error; }
    // Lists the directory again from its start: 0, or -errno.
    int rewind();

private:
    int m_dirFd;
    char *m_buffer;
    std::size_t m_size;
    std::size_t m_filled = 0;
    std::size_t m_offset = 0;
    bool m_shortReadEnds;
    bool m_ended = false;
    int m_error = 0;
};

// Buffer size for one DirEntries: large enough that a /proc or fd directory
// comes in a few reads.
constexpr std::size_t kDirEntriesBufferSize = std::size_t{32} * 1024;

// A /proc entry name read as a process id, or 0 when it is not a decimal
// number in range (as "self" or "sys").
int pidOfProcEntry(const char *name);

// How the scans open the directories they read.
constexpr int kDirOpenFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// Room for "<name>/fd" with any /proc entry name.
constexpr std::size_t kFdDirPathSize = NAME_MAX + sizeof "/fd";

// Writes "<name>/fd", the descriptor directory of a /proc entry, relative to
// /proc. False when the name is too long to be a /proc entry.
bool fdDirPathOf(const char *name, char (&path)[kFdDirPathSize]);
