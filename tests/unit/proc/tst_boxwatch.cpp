// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxwatch.h"

#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Holds box/f open (O_CLOEXEC), says 'r', then does what the test writes:
// 'c' closes it, 'x' execs, 'o' opens and closes a file outside the box a
// thousand times and says 'd'; then waits for the end of its input.
[[noreturn]] void holder(const QByteArray &dir, int control, int ready)
{
    const int fd = open(dir + "/box/f", O_RDONLY | O_CREAT | O_CLOEXEC, 0644);
    char what = fd >= 0 ? 'r' : '!';
    if (write(ready, &what, 1) != 1 || read(control, &what, 1) != 1)
        _exit(1);
    if (what == 'c')
        close(fd);
    if (what == 'x')
        execl("/bin/sleep", "sleep", "1000", static_cast<char *>(nullptr));
    for (int i = 0; what == 'o' && i < 1000; ++i)
        close(open(dir + "/box2/f", O_RDONLY | O_CREAT | O_CLOEXEC, 0644));
    if (write(ready, "d", 1) != 1 || read(control, &what, 1) < 0)
        _exit(1);
    _exit(0);
}

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
        }
    }
    void hints()
    {
        QFETCH(bool, polling);
        QFETCH(char, act);
        QFETCH(int, hints);
        QTemporaryDir dir;
        const QByteArray path = dir.path().toUtf8();
        QVERIFY(mkdir(path + "/box", 0755) == 0 && mkdir(path + "/box2", 0755) == 0);
        BoxWatcher watcher(polling ? BoxWatcher::Mechanism::Polling : BoxWatcher::Mechanism::Best);
#ifdef ARKVANE_KERNEL_SCAN
        QCOMPARE(watcher.mechanism(), polling ? "polling" : "bpf");
#endif
        int seen = 0;
        const int id = watcher.watch(path + "/box", [&seen] { ++seen; });
        QCOMPARE(id, 0);
        int control[2], ready[2];
        QVERIFY(pipe2(control, O_CLOEXEC) == 0 && pipe2(ready, O_CLOEXEC) == 0);
        const pid_t child = fork();
        if (child == 0)
            holder(path, control[0], ready[1]);
        char said = 0;
        QVERIFY(read(ready[0], &said, 1) == 1 && said == 'r');
        const int wait = watcher.latencyMs() + 200;
        QCOMPARE(awaitHints(watcher, seen, 1, wait), 1); // the open
        if (act == 'u')
            QCOMPARE(watcher.unwatch(id), 0);
        if (act == 'k')
            kill(child, SIGKILL);
        else
            QVERIFY(write(control[1], act == 'u' ? "c" : &act, 1) == 1);
        if (act == 'o')
            QVERIFY(read(ready[0], &said, 1) == 1 && said == 'd');
        QCOMPARE(awaitHints(watcher, seen, hints + 1, wait), hints); // and no more
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        for (const int fd : {control[0], control[1], ready[0], ready[1]})
            close(fd);
    }
};

QTEST_GUILESS_MAIN(TestBoxWatch)
#include "tst_boxwatch.moc"
