// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

struct libmnt_table;

// Reads the mount table the mount check consults; null when it cannot be read.
using MountTableReader = libmnt_table *(*)();

// Puts another reader in place and returns the one it replaces, so a test can
// make the table unreadable without touching /proc.
MountTableReader replaceMountTableReader(MountTableReader reader);

// 1 when a file system is mounted exactly at path (symbolic links followed),
// 0 when none is or when that cannot be told.
int mountStatusOfPath(const char *path);
