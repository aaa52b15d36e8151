// SPDX-License-Identifier: GPL-2.0-or-later
#include "callguard.h"
#include "keptthreads.h"
#include "logsites.h"
#include "ownedfd.h"
#include "safepath.h"

#include <QtTest>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

__attribute__((format(printf, 1, 2))) QByteArray formatted(const char *format, ...)
{
    char line[512];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    return line;
}

char threadState(long tid)
{
    QFile stat(QStringLiteral("/proc/self/task/%1/stat").arg(tid));
    if (!stat.open(QIODevice::ReadOnly))
        return '?';
    const QByteArray text = stat.readAll();
    return text.at(text.lastIndexOf(')') + 2);
}

} // namespace

class TestBase : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // An answer refuses every later act; acts under way are named in its line.
    void callGuard()
    {
        QVERIFY(GuardedAct(CallGuard::Act::Signal)); // no call: a direct call from a test
        QVERIFY(!currentCallStopped());
        CallGuard guard;
        {
            const CallGuard::Scope scope(guard);
            QCOMPARE(CallGuard::current(), &guard);
            {
                const GuardedAct done(CallGuard::Act::Removal);
                QVERIFY(done);
            }
            const GuardedAct underWay(CallGuard::Act::Signal);
            QVERIFY(underWay);
            QCOMPARE(guard.expire(), CallGuard::Claim::Answer);
            QCOMPARE(guard.expire(), CallGuard::Claim::Nothing);
            QVERIFY(!GuardedAct(CallGuard::Act::Unmount));
            QVERIFY(currentCallStopped());
            QCOMPARE(guard.actsForLog(),
                     QByteArray("0 signals, 0 unmounts, 1 removals; a signal under way is its last"));
        }
        QCOMPARE(CallGuard::current(), nullptr);
        QCOMPARE(guard.finish(), CallGuard::Claim::Nothing);
        QCOMPARE(guard.actsForLog(), QByteArray("1 signals, 0 unmounts, 1 removals"));
        CallGuard finished;
        QCOMPARE(finished.finish(), CallGuard::Claim::Answer);
        QCOMPARE(finished.expire(), CallGuard::Claim::Nothing);
        QVERIFY(!finished.beginAct(CallGuard::Act::Signal));
    }

    // An idle thread woken for one job is not counted for the next: two jobs
    // handed over back to back run at once.
    void keptThreadsRunJobsAtOnce()
    {
        // Kept for the process's life, as the pool's threads are.
        static auto &threads = *new KeptThreads;
        static QSemaphore started, go;
        static std::atomic<long> firstThread{0};
        QVERIFY(threads.run([&] {
            firstThread = syscall(SYS_gettid);
            started.release();
        }));
        QVERIFY(started.tryAcquire(1, 10000));
        // Idle once it waits for the next job (nothing else puts it to sleep).
        while (threadState(firstThread) != 'S')
            QThread::yieldCurrentThread();
        for (int job = 0; job < 2; ++job)
            QVERIFY(threads.run([&] {
                started.release();
                go.tryAcquire(1, 10000);
            }));
        const bool both = started.tryAcquire(2, 5000);
        go.release(2);
        QVERIFY(both);
    }

    void openBeneathNoLinksRefusesLinksDotDotAndAbsolutePaths()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("a/b")));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("a")), dir.filePath(QStringLiteral("l"))));
        const OwnedFd top(open(QFile::encodeName(dir.path()).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        const std::pair<const char *, int> rows[] = {
            {"a//./b", 0},        {"", 0},          {"l/b", -ELOOP},    {"l", -ELOOP},
            {"a/../a/b", -EXDEV}, {"/tmp", -EXDEV}, {"a/b/..", -EXDEV},
        };
        for (const auto &[relative, error] : rows) {
            const int fd = openBeneathNoLinks(top.get(), relative, O_RDONLY | O_DIRECTORY);
            QVERIFY2(fd >= 0 ? error == 0 : fd == error, relative);
            if (fd >= 0)
                close(fd);
        }
    }

    // Each line whole, its site number with it: filters and readers rely on them.
    // Debug lines the e2e suite does not match whole are here too.
    void logSites()
    {
        // One row per line, however long: the line as the log gets it.
        // clang-format off
        const std::pair<QByteArray, const char *> rows[] = {
            {formatted(LOG_LISTING_OUTSIDE_BOX, "7", "/p"), "get_allRunFileList[55] refused: caller uid 7 for path /p outside its box\n"},
            {formatted(LOG_KILL_OUTSIDE_BOX, "7", "/p"), "kill_allProcessSignal[64] refused: caller uid 7 for path /p outside its box\n"},
            {formatted(LOG_PATH_UNSAFE, "F", "7", "/p", "/q"), "F[66] refused: caller uid 7 for path /p, unsafe transition at /q (neither root's nor the same owner's as the way there)\n"},
            {formatted(LOG_PATH_STALLED, "F", "7", "/p", 9), "F[67] refused: caller uid 7 for path /p, it did not resolve within 9 ms\n"},
            {formatted(LOG_CERTIFICATION_NOT_OWN, "F", kSiteIntervalNotOwn, "7", "u"), "F[65] refused: caller uid 7 may not change the certification of \"u\"\n"},
            {formatted(LOG_CERTIFICATION_NOT_OWN, "F", kSitePassedNotOwn, "7", "u"), "F[72] refused: caller uid 7 may not change the certification of \"u\"\n"},
            {formatted(LOG_BACKUP_CALLER_NOT_ROOT, 7u), "check_callerPrivilege[96] failed: uid = 7\n"},
            {formatted(LOG_BACKUP_CALLER_NO_PROGRAM, 7u), "check_callerPrivilege[103] failed: uid = 7\n"},
            {formatted(LOG_BACKUP_CALLER_OTHER_PROGRAM, "/p"), "check_callerPrivilege[112] failed: program_path = /p\n"},
            {formatted(LOG_DISCOVERY_CALLED), "get_allBoxRootEntries[121] called\n"},
            {formatted(LOG_WIPE_INVALID_ENTRY, "/p"), "format_boxRootEntry[151] invalid entry: /p\n"},
            {formatted(LOG_WIPE_HOLDERS_LEFT, "/p"), "format_boxRootEntry[171] kill_allProcessByPath failed: /p\n"},
            {formatted(LOG_WIPE_UNMOUNT_FAILED, "/p", "E"), "format_boxRootEntry[176] umount2 failed: /p, error = E\n"},
            {formatted(LOG_WIPE_REMOVAL_FAILED, "/p"), "format_boxRootEntry[185] removeRecursively failed: /p\n"},
            {formatted(LOG_WIPE_ALL_NONE), "format_allBoxRootEntries[203] BoxRootEntries is empty\n"},
            {formatted(LOG_WIPE_USER_CALLED, "u"), "format_boxRootEntries[219] called: strUserName = u\n"},
            {formatted(LOG_WIPE_USER_NOT_A_NAME, "u"), "format_boxRootEntries[226] refused: strUserName = u names no single directory\n"},
            {formatted(LOG_DISCOVERY_LEFT_OUT, "/p", 9), "get_allBoxRootEntriesInner[321] left out: /p did not answer within 9 ms\n"},
            {formatted(LOG_WIPE_LEFT_ALONE, "/p", 9), "format_boxRootEntry[322] left alone: /p did not answer within 9 ms\n"},
            {formatted(LOG_QUEUE_FULL, "F", "7", 9), "F[311] refused: caller uid 7, 9 of its calls already wait\n"},
            {formatted(LOG_REPLY_TOO_LARGE, "F", 9LL, "7"), "F[312] reply of 9 bytes does not fit in a bus message, caller uid 7 answered -1\n"},
            {formatted(LOG_NO_ANSWER_IN_TIME, "F", 9, "W", "7", "L"), "F[313] no answer within 9 ms W, caller uid 7 answered -1L\n"},
            {formatted(LOG_NO_WORKER, "F", "7"), "F[314] no worker thread, caller uid 7 answered -1\n"},
            {formatted(LOG_ENGINE_KERNEL, 9.0), "startScanEngine[409] open files are found by the kernel scan engine (loaded in 9 ms)\n"},
            {formatted(LOG_ENGINE_PROC, "W"), "startScanEngine[409] open files are found by the /proc walk: W\n"},
            {formatted(LOG_DECLINED_TYPE, "F", "T", "/p"), "F[401] the kernel engine does not read T (box /p): the /proc walk serves\n"},
            {formatted(LOG_DECLINED_STALL, "F", "/q", "/p"), "F[402] a lookup through /q may stall (box /p): the /proc walk serves\n"},
            {formatted(LOG_DECLINED_PATH, "F", "/p"), "F[403] a held file's whole path is longer than the kernel prints (box /p): the /proc walk serves\n"},
            {formatted(LOG_DECLINED_DEPTH, "F", "/p"), "F[404] a held file lies deeper than the kernel engine walks (2^23 levels) (box /p): the /proc walk serves\n"},
            {formatted(LOG_DECLINED_ANCHORS, "F", "W", "/p"), "F[405] the kernel engine cannot identify the box and the mounts below it: W (box /p): the /proc walk serves\n"},
            {formatted(LOG_DECLINED_HOLDER, "F", "/p"), "F[406] a holder has no process id in the daemon's pid namespace (box /p): the /proc walk serves\n"},
            {formatted(LOG_DECLINED_PASS, "F", "W", "/p"), "F[407] the kernel engine's pass failed: W (box /p): the /proc walk serves\n"},
            {formatted(DEBUG_NOT_BATCH, "E"), "workers run as ordinary threads, not batch threads: SCHED_BATCH refused: E"},
            {formatted(DEBUG_OUTLIVED_SIGKILL, "P"), "outlived SIGKILL (stopped by a tracer, or held in the kernel): P"},
            {formatted(LOG_WATCH_POLLING, 1, 2, "W"), "BoxWatcher[421] box changes are found by polling /proc every 1 to 2 ms: W\n"},
        };
        // clang-format on
        for (const auto &[line, expected] : rows)
            QCOMPARE(line, QByteArray(expected));
    }
};

QTEST_GUILESS_MAIN(TestBase)
#include "tst_base.moc"
