#pragma once

// Removes everything below the directory open at dirFd and leaves that
// directory itself in place. Every step goes through a descriptor: no symbolic
// link is followed, no path is resolved from the top again, and nothing on
// another mount is entered (such a directory is left whole). The walk keeps
// its own stack, so the depth of the tree does not matter.
// True when the directory was left empty.
bool removeDirectoryContents(int dirFd);
