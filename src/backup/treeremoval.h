// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// What a tree removal achieved.
struct TreeRemoval
{
    bool emptied = false; // the directory was left empty
    // The first failure met, as -errno, so a busy mount (-EBUSY, also for a
    // directory on another mount, left whole) tells itself apart from a
    // permission problem (-EACCES, -EPERM); -ESTALE when the tree changed under
    // the walk; 0 when none.
    int firstError = 0;
    explicit operator bool() const { return emptied; }
};

// Removes everything below the directory open at dirFd and leaves that
// directory itself in place. Every step goes through a descriptor: no symbolic
// link is followed, no path is resolved from the top again, and nothing on
// another mount is entered (such a directory is left whole). The walk keeps
// its own stack, so the depth of the tree does not matter.
TreeRemoval removeDirectoryContents(int dirFd);
