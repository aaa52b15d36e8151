// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Every line the daemon writes to the system log, in one table, and after it
// the debug lines that are matched (DEBUG_..., at the end). A log line reads
// "FUNCTION[SITE] TEXT": SITE is a fixed number that names the line, so an
// administrator's filter or a test can rely on it, and TEXT is its fixed part.
// Each row is the whole printf format of one line, for syslog(LOG_INFO, ...);
// a leading "%s" takes the function's name where more than one function
// writes the line (the bus method a refusal or a queue line is about). The
// rows are literals, so the compiler checks every call's arguments.

// Caller identity and scope: who may do what (the /logfile and /activity interfaces).
#define LOG_LISTING_OUTSIDE_BOX "get_allRunFileList[55] refused: caller uid %s for path %s outside its box\n"
#define LOG_KILL_OUTSIDE_BOX "kill_allProcessSignal[64] refused: caller uid %s for path %s outside its box\n"
#define LOG_HOLDERS_OUTSIDE_BOX "get_boxHolders[501] refused: caller uid %s for path %s outside its box\n"
#define LOG_WATCH_OUTSIDE_BOX "add_boxWatch[502] refused: caller uid %s for path %s outside its box\n"
#define LOG_WATCH_LIMIT "add_boxWatch[503] refused: caller uid %u for path %s: %s\n"
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

// The debug stream (qDebug, so standard error, the journal under the service
// manager): the lines tests and the manual's readers match, each the whole
// printf format of one line, for qDebug(FORMAT, ...). Arguments are UTF-8
// ("%s" of qUtf8Printable or of bytes); none is ever a format.
#define DEBUG_STARTED "gogogo"
#define DEBUG_NO_SYSTEM_BUS "Can not conneced to system bus, exiting ..."
#define DEBUG_NAME_NOT_CLAIMED "could not claim com.tavrin.arkvane: %s"
#define DEBUG_NOT_BATCH "workers run as ordinary threads, not batch threads: SCHED_BATCH refused: %s"
#define DEBUG_WORK_AFTER_ANSWER "%s work ended after its answer, having made %s"
// The user name quoted as QDebug quotes a string.
#define DEBUG_CERTIFICATION_TICK "Enter timeout processing function. username =  %s   m_nTimer =  %d"
// The uid, then the bus method refused, or "listing".
#define DEBUG_IDENTITY_NOT_TAKEN "could not take on the file-system identity of uid %u - %s refused"
#define DEBUG_KILL_FAILED "get_allFileStatus error."
// The scan and the kill (src/proc); a process list as processesForLog gives it.
#define DEBUG_EMPTY_SCAN_PATH "Lsof函数参数为空"
#define DEBUG_KILL_SCAN_FAILED "get_allOpenFilePidByPath error."
#define DEBUG_PASSED_OVER "passed over processes that are never signalled: %s"
#define DEBUG_NOT_JUDGED "could not judge every descriptor of: %s"
#define DEBUG_HOLDERS_LEFT "holders left after %d rounds of signals: %s"
#define DEBUG_OUTLIVED_SIGKILL "outlived SIGKILL (stopped by a tracer, or held in the kernel): %s"
#define DEBUG_RUNNING_WITHOUT "running without %s - these calls will fail: %s"
#define DEBUG_LEFT_OUT_FILES "left out held files that could not be placed or named, held by: %s"
