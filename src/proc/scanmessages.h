#pragma once

// The debug-log lines of a scan that cannot run, shared by the pid scan, the
// kill and the listing so that each reads the same.
void logEmptyScanPath();
void logProcUnreadable();
