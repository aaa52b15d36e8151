// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Every line the daemon writes to the system log, in one table. A line reads
// "FUNCTION[SITE] TEXT": SITE is a fixed number that names the line, so an
// administrator's filter or a test can rely on it, and TEXT is its fixed part.
// Each row is the whole printf format of one line, for syslog(LOG_INFO, ...);
// a leading "%s" takes the function's name where more than one function
// writes the line (the bus method a refusal or a queue line is about). The
// rows are literals, so the compiler checks every call's arguments.

// Caller identity and scope: who may do what (the /logfile interface).
#define LOG_LISTING_OUTSIDE_BOX "get_allRunFileList[55] refused: caller uid %s for path %s outside its box\n"
#define LOG_KILL_OUTSIDE_BOX "kill_allProcessSignal[64] refused: caller uid %s for path %s outside its box\n"
// A box path is resolved one entry at a time, for every caller: an entry that
// is neither root's nor of the owner the way so far belongs to is not entered
// (a user's link to another user's box, or to root's files).
#define LOG_PATH_UNSAFE                                                                                      \
    "%s[66] refused: caller uid %s for path %s, unsafe transition at %s (neither root's nor the same "       \
    "owner's as the way there)\n"
#define LOG_PATH_STALLED "%s[67] refused: caller uid %s for path %s, it did not resolve within %d ms\n"
#define LOG_CERTIFICATION_NOT_OWN "%s[%d] refused: caller uid %s may not change the certification of \"%s\"\n"
constexpr int kSiteIntervalNotOwn = 65; // set_certificationInterval
constexpr int kSitePassedNotOwn = 72;   // set_certificationPassed

// The backup interface's caller check.
#define LOG_BACKUP_CALLER_NOT_ROOT "check_callerPrivilege[96] failed: uid = %u\n"
#define LOG_BACKUP_CALLER_NO_PROGRAM "check_callerPrivilege[103] failed: uid = %u\n"
#define LOG_BACKUP_CALLER_OTHER_PROGRAM "check_callerPrivilege[112] failed: program_path = %s\n"

// Discovery and the wipes.
#define LOG_DISCOVERY_CALLED "get_allBoxRootEntries[121] called\n"
#define LOG_WIPE_INVALID_ENTRY "format_boxRootEntry[151] invalid entry: %s\n"
#define LOG_WIPE_HOLDERS_LEFT "format_boxRootEntry[171] kill_allProcessByPath failed: %s\n"
#define LOG_WIPE_UNMOUNT_FAILED "format_boxRootEntry[176] umount2 failed: %s, error = %s\n"
#define LOG_WIPE_REMOVAL_FAILED "format_boxRootEntry[185] removeRecursively failed: %s\n"
#define LOG_WIPE_ALL_NONE "format_allBoxRootEntries[203] BoxRootEntries is empty\n"
#define LOG_WIPE_USER_CALLED "format_boxRootEntries[219] called: strUserName = %s\n"
#define LOG_WIPE_USER_NOT_A_NAME                                                                             \
    "format_boxRootEntries[226] refused: strUserName = %s names no single directory\n"
#define LOG_DISCOVERY_LEFT_OUT "get_allBoxRootEntriesInner[321] left out: %s did not answer within %d ms\n"
#define LOG_WIPE_LEFT_ALONE "format_boxRootEntry[322] left alone: %s did not answer within %d ms\n"

// The call queue, about the bus method it serves.
#define LOG_QUEUE_FULL "%s[311] refused: caller uid %s, %d of its calls already wait\n"
#define LOG_REPLY_TOO_LARGE                                                                                  \
    "%s[312] reply of %lld bytes does not fit in a bus message, caller uid %s answered -1\n"
#define LOG_NO_ANSWER_IN_TIME "%s[313] no answer within %d ms %s, caller uid %s answered -1%s\n"
#define LOG_NO_WORKER "%s[314] no worker thread, caller uid %s answered -1\n"

// The scan engines: which serves, and why the kernel engine leaves a call to
// the /proc walk (about kernelHeldFiles or kernelHolders; first time each).
#define LOG_ENGINE_KERNEL                                                                                    \
    "startScanEngine[409] open files are found by the kernel scan engine (loaded in %.0f ms)\n"
#define LOG_ENGINE_PROC "startScanEngine[409] open files are found by the /proc walk: %s\n"
#define LOG_DECLINED_TYPE "%s[401] the kernel engine does not read %s (box %s): the /proc walk serves\n"
#define LOG_DECLINED_STALL "%s[402] a lookup through %s may stall (box %s): the /proc walk serves\n"
#define LOG_DECLINED_PATH                                                                                    \
    "%s[403] a held file's whole path is longer than the kernel prints (box %s): the /proc walk serves\n"
#define LOG_DECLINED_DEPTH                                                                                   \
    "%s[404] a held file lies deeper than the kernel engine walks (2^23 levels) (box %s): the /proc walk "   \
    "serves\n"
#define LOG_DECLINED_ANCHORS                                                                                 \
    "%s[405] the kernel engine cannot identify the box and the mounts below it: %s (box %s): the /proc "     \
    "walk serves\n"
#define LOG_DECLINED_HOLDER                                                                                  \
    "%s[406] a holder has no process id in the daemon's pid namespace (box %s): the /proc walk serves\n"
#define LOG_DECLINED_PASS "%s[407] the kernel engine's pass failed: %s (box %s): the /proc walk serves\n"

// The box watch, when the kernel's programs do not load (once a process).
#define LOG_WATCH_POLLING "BoxWatcher[421] box changes are found by polling /proc every %d to %d ms: %s\n"
