// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxwatch.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

namespace {

// Hints counted while the watcher's descriptor is polled, until there are
// `wanted` or timeoutMs passed without them.
int awaitHints(BoxWatcher &watcher, const int &hints, int wanted, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (hints < wanted && clock.elapsed() < timeoutMs) {
        pollfd ready = {watcher.fd(), POLLIN, 0};
        if (::poll(&ready, 1, int(timeoutMs - clock.elapsed())) > 0)
            watcher.drain();
    }
    return hints;
}

// A child holding box/f open (O_CLOEXEC), which says 'r', then does what it
// is told: 'c' closes it, 'f' forks and closes it, 'd' dup2s over it, 'r'
// close_ranges it, 'x' execs, 'o' opens and closes a file outside the box a
// thousand times, keeps it open the last time and says 'd'. Killed and
// reaped when the test leaves, passed or not.
struct Holder
{
    int control[2] = {-1, -1};
    int ready[2] = {-1, -1};
    pid_t pid = -1;

    Holder(const QByteArray &dir, const QByteArray &held)
    {
        if (pipe2(control, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0 || (pid = fork()) < 0)
            return;
        if (pid > 0) {
            close(std::exchange(control[0], -1));
            close(std::exchange(ready[1], -1));
            return;
        }
        const int fd = open(dir + held, O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
        char what = fd >= 0 ? 'r' : '!';
        if (write(ready[1], &what, 1) != 1 || read(control[0], &what, 1) != 1)
            _exit(1);
        close(control[1]);
        if (what == 'f' && fork() == 0) // the copy holds on until the test ends
            _exit(read(control[0], &what, 1));
        if (what == 'c' || what == 'f')
            close(fd);
        if (what == 'd')
            dup2(ready[1], fd);
        if (what == 'r')
            close_range(fd, fd, 0);
        if (what == 'x')
            execl("/bin/sleep", "sleep", "1000", static_cast<char *>(nullptr));
        for (int i = 0; what == 'o' && i <= 1000; ++i)
            if (const int outside = open(dir + "/box2/f", O_RDONLY | O_CREAT | O_CLOEXEC, 0644); i < 1000)
                close(outside);
        (void)!write(ready[1], "d", 1);
        (void)!read(control[0], &what, 1);
        _exit(0);
    }
    ~Holder()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            waitpid(pid, nullptr, 0);
        for (const int fd : {control[0], control[1], ready[0], ready[1]})
            close(fd);
    }
    char said() const
    {
        char what = 0;
        return read(ready[0], &what, 1) == 1 ? what : '!';
    }
};

} // namespace

class TestBoxWatch : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void hints_data()
    {
        QTest::addColumn<bool>("polling");
        QTest::addColumn<char>("act"); // what the holder is told; 'k' kills it, 'u' unwatches first
        QTest::addColumn<int>("hints");
        for (const bool polling : {false, true}) {
            const char *mechanism = polling ? "polling " : "kernel ";
            QTest::addRow("%sclose", mechanism) << polling << 'c' << 2;
            QTest::addRow("%skill", mechanism) << polling << 'k' << 2;
            QTest::addRow("%sexec-cloexec", mechanism) << polling << 'x' << 2;
            QTest::addRow("%soutside", mechanism) << polling << 'o' << 1;
            QTest::addRow("%sunwatched", mechanism) << polling << 'u' << 1;
            QTest::addRow("%sclose below a mount", mechanism) << polling << 'm' << 2;
        }
        QTest::addRow("kernel close, a child holding on") << false << 'f' << 2;
        QTest::addRow("kernel dup2 over") << false << 'd' << 2;
        QTest::addRow("kernel close_range") << false << 'r' << 2;
    }
    void hints()
    {
        QFETCH(bool, polling);
        QFETCH(char, act);
        QFETCH(int, hints);
        QTemporaryDir dir;
        const QByteArray path = dir.path().toUtf8();
        QVERIFY(mkdir(path + "/box", 0755) == 0 && mkdir(path + "/box2", 0755) == 0);
        // 'm': the file is on a file system mounted below the box (the sandbox's own mounts).
        QVERIFY(
            act != 'm'
            || (mkdir(path + "/box/m", 0755) == 0 && mount("m", path + "/box/m", "tmpfs", 0, nullptr) == 0));
        const auto unmount = qScopeGuard([&] { umount2(path + "/box/m", MNT_DETACH); });
        BoxWatcher watcher(polling ? BoxWatcher::Mechanism::Polling : BoxWatcher::Mechanism::Best);
#if defined(ARKVANE_KERNEL_SCAN) && defined(__x86_64__)
        QCOMPARE(watcher.mechanism(), polling ? "polling" : "bpf");
#endif
        int seen = 0;
        const int id = watcher.watch(*BoxPath::of(path + "/box"), [&seen] { ++seen; });
        QCOMPARE(id, 0);
        const Holder holder(path, act == 'm' ? "/box/m/f" : "/box/f");
        QCOMPARE(holder.said(), 'r');
        const int wait = watcher.latencyMs() + 200;
        QCOMPARE(awaitHints(watcher, seen, 1, wait), 1); // the open
        if (act == 'u')
            QCOMPARE(watcher.unwatch(id), 0);
        if (act == 'k')
            QCOMPARE(kill(holder.pid, SIGKILL), 0);
        else
            QCOMPARE(write(holder.control[1], act == 'u' || act == 'm' ? "c" : &act, 1), ssize_t(1));
        if (act == 'o')
            QCOMPARE(holder.said(), 'd');
        QCOMPARE(awaitHints(watcher, seen, hints + 1, wait), hints); // and no more
    }
};

QTEST_GUILESS_MAIN(TestBoxWatch)
#include "tst_boxwatch.moc"
