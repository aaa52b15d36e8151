// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// The debug-log lines of a scan that cannot run, shared by the pid scan, the
// kill and the listing so that each reads the same.
void logEmptyScanPath();
// The fixed line for a scan that could not read /proc or the mount table,
// then its reason (error: a positive or negative errno) on a line of its own.
void logProcUnreadable(int error);
