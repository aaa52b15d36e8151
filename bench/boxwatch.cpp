// SPDX-License-Identifier: GPL-2.0-or-later
// What the box watch costs the system and how soon it tells: run as root by
// bench/run.sh --watch. It watches only boxes it makes under /tmp and kills
// only its own children.
//
//   arkvane-bench-watch [--quick] [--polling | --fanotify]
//
// 1. An open-and-close loop on a file outside every box (on the boxes' file
//    system: the hostile case, every level of its path is looked at), with no
//    watcher, a watcher of no box, and a watcher of 64 boxes; and on
//    /dev/null (no box on its file system).
// 2. The time from a holder's last close, and from its SIGKILL, to the hint.
// 3. The watcher's CPU time and wake-ups over a minute with 64 idle boxes.
// --polling measures 2 and 3 with the fallback instead. --fanotify measures
// 1 with the mechanism that was not chosen instead: a fanotify group with a
// mark on the boxes' file system (FAN_OPEN | FAN_CLOSE, reported by file
// handle, no descriptors), drained by a thread, counting its wake-ups.
#include "boxwatch.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/fanotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBoxes = BoxWatcher::kMaxBoxes;

double secondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double cpuSeconds()
{
    rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Nanoseconds per open-and-close of path, over iterations.
double loopNs(const std::string &path, long iterations)
{
    const auto start = Clock::now();
    for (long i = 0; i < iterations; ++i) {
        const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            std::perror(path.c_str());
            std::exit(1);
        }
        close(fd);
    }
    return secondsSince(start) * 1e9 / double(iterations);
}

// A child holding box/f open until it is told to close it ('c', after which
// it writes the time just before its close) or is killed.
struct Holder
{
    pid_t pid = -1;
    int control = -1;
    int answer = -1;
};

Holder startHolder(const std::string &file)
{
    int control[2], answer[2];
    if (pipe2(control, O_CLOEXEC) != 0 || pipe2(answer, O_CLOEXEC) != 0)
        std::exit(1);
    Holder holder;
    holder.pid = fork();
    if (holder.pid == 0) {
        const int fd = open(file.c_str(), O_RDONLY | O_CLOEXEC);
        char what = fd >= 0 ? 'r' : '!';
        if (write(answer[1], &what, 1) != 1 || read(control[0], &what, 1) != 1)
            _exit(1);
        const auto before = Clock::now().time_since_epoch().count();
        close(fd);
        (void)!write(answer[1], &before, sizeof before);
        (void)!read(control[0], &what, 1);
        _exit(0);
    }
    close(control[0]);
    close(answer[1]);
    holder.control = control[1];
    holder.answer = answer[0];
    char ready = 0;
    if (read(holder.answer, &ready, 1) != 1 || ready != 'r')
        std::exit(1);
    return holder;
}

void endHolder(Holder &holder)
{
    kill(holder.pid, SIGKILL);
    waitpid(holder.pid, nullptr, 0);
    close(holder.control);
    close(holder.answer);
}

// Drains until box's hint (or timeoutMs); the time it came.
Clock::time_point awaitHint(BoxWatcher &watcher, const std::vector<int> &hinted, int box, int timeoutMs)
{
    const auto start = Clock::now();
    const int before = hinted[box];
    while (hinted[box] == before && secondsSince(start) * 1000 < timeoutMs) {
        pollfd ready = {watcher.fd(), POLLIN, 0};
        if (poll(&ready, 1, 10) > 0)
            watcher.drain();
    }
    return hinted[box] == before ? Clock::time_point{} : Clock::now();
}

void drainFor(BoxWatcher &watcher, int milliseconds, long *wakeups)
{
    const auto start = Clock::now();
    for (int left = milliseconds; left > 0; left = milliseconds - int(secondsSince(start) * 1000)) {
        pollfd ready = {watcher.fd(), POLLIN, 0};
        if (poll(&ready, 1, left) > 0) {
            watcher.drain();
            if (wakeups)
                ++*wakeups;
        }
    }
}

double percentile(std::vector<double> values, double which)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, std::size_t(which * double(values.size())))];
}

// The loop's cost under a fanotify mark on the file system of path, and the
// reader's wake-ups and events.
void fanotifyLoop(const std::string &top, const std::string &path, long iterations, int rounds)
{
    std::vector<double> none, marked;
    long wakeups = 0;
    long events = 0;
    for (int round = 0; round < rounds; ++round) {
        none.push_back(loopNs(path, iterations));
        const int group = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_REPORT_FID, O_RDONLY | O_CLOEXEC);
        if (group < 0
            || fanotify_mark(group, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_OPEN | FAN_CLOSE, AT_FDCWD,
                             top.c_str())
                   != 0) {
            std::perror("fanotify");
            std::exit(1);
        }
        std::atomic<bool> stop{false};
        std::thread reader([&] {
            std::vector<char> buffer(64 * 1024);
            while (!stop) {
                pollfd ready = {group, POLLIN, 0};
                if (poll(&ready, 1, 50) <= 0)
                    continue;
                ssize_t got = read(group, buffer.data(), buffer.size());
                ++wakeups;
                for (auto *event = reinterpret_cast<const fanotify_event_metadata *>(buffer.data());
                     got > 0 && FAN_EVENT_OK(event, got); event = FAN_EVENT_NEXT(event, got))
                    ++events;
            }
        });
        marked.push_back(loopNs(path, iterations));
        stop = true;
        reader.join();
        close(group);
    }
    const double base = percentile(none, 0.5);
    std::printf("open+close outside every box, %ld iterations, median of %d:\n", iterations, rounds);
    std::printf("  no mark             %7.0f ns\n", base);
    std::printf("  fanotify fs mark    %7.0f ns  (%+.1f %%), %ld events in %ld wake-ups\n",
                percentile(marked, 0.5), (percentile(marked, 0.5) / base - 1) * 100, events, wakeups);
}

} // namespace

int main(int argc, char **argv)
{
    bool quick = false;
    bool polling = false;
    bool fanotify = false;
    for (int i = 1; i < argc; ++i) {
        quick = quick || std::strcmp(argv[i], "--quick") == 0;
        polling = polling || std::strcmp(argv[i], "--polling") == 0;
        fanotify = fanotify || std::strcmp(argv[i], "--fanotify") == 0;
    }
    const long iterations = quick ? 100000 : 1000000;
    const int rounds = quick ? 1 : 3;
    const int idleSeconds = quick ? 5 : 60;

    char top[] = "/tmp/arkvane-bench-watch-XXXXXX";
    if (!mkdtemp(top))
        return 1;
    std::vector<std::string> boxes;
    for (int i = 0; i < kBoxes; ++i) {
        boxes.push_back(std::string(top) + "/home/user" + std::to_string(i) + "/.box");
        const std::string home = std::string(top) + "/home";
        mkdir(home.c_str(), 0755);
        mkdir((home + "/user" + std::to_string(i)).c_str(), 0755);
        mkdir(boxes.back().c_str(), 0755);
        close(open((boxes.back() + "/f").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    }
    const std::string outside = std::string(top) + "/home/user0/outside";
    close(open(outside.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
    // The superblock filter's case: a file system without boxes.
    const std::string elsewhere = "/dev/null";

    if (fanotify) {
        fanotifyLoop(top, outside, iterations, rounds);
        const std::string remove = std::string("rm -rf -- ") + top;
        return std::system(remove.c_str()) == 0 ? 0 : 1;
    }
    const auto mechanism = polling ? BoxWatcher::Mechanism::Polling : BoxWatcher::Mechanism::Best;
    std::vector<int> hinted(kBoxes, 0);
    auto watchAll = [&](BoxWatcher &watcher) {
        for (int i = 0; i < kBoxes; ++i)
            if (watcher.watch(*BoxPath::of(QByteArray::fromStdString(boxes[i])),
                              [&hinted, i] { ++hinted[i]; })
                < 0) {
                std::fprintf(stderr, "cannot watch %s\n", boxes[i].c_str());
                std::exit(1);
            }
    };

    if (!polling) {
        // 1. Rounds interleaved, so that a drift of the machine touches all three alike.
        std::vector<double> none, empty, full, otherNone, otherFull;
        int woke = 0; // rounds whose loops made the watcher readable
        for (int round = 0; round < rounds; ++round) {
            none.push_back(loopNs(outside, iterations));
            otherNone.push_back(loopNs(elsewhere, iterations));
            {
                BoxWatcher watcher(mechanism);
                empty.push_back(loopNs(outside, iterations));
            }
            BoxWatcher watcher(mechanism);
            watchAll(watcher);
            full.push_back(loopNs(outside, iterations));
            otherFull.push_back(loopNs(elsewhere, iterations));
            pollfd woken = {watcher.fd(), POLLIN, 0};
            woke += poll(&woken, 1, 0);
        }
        const double base = percentile(none, 0.5);
        std::printf("open+close outside every box, %ld iterations, median of %d:\n", iterations, rounds);
        std::printf("  no watcher          %7.0f ns\n", base);
        std::printf("  watcher, 0 boxes    %7.0f ns  (%+.1f %%)\n", percentile(empty, 0.5),
                    (percentile(empty, 0.5) / base - 1) * 100);
        std::printf("  watcher, %d boxes   %7.0f ns  (%+.1f %%)\n", kBoxes, percentile(full, 0.5),
                    (percentile(full, 0.5) / base - 1) * 100);
        std::printf("  the watcher was woken in %d of %d rounds\n", woke, rounds);
        const double otherBase = percentile(otherNone, 0.5);
        std::printf("the same on another file system (%s):\n", elsewhere.c_str());
        std::printf("  no watcher          %7.0f ns\n", otherBase);
        std::printf("  watcher, %d boxes   %7.0f ns  (%+.1f %%)\n", kBoxes, percentile(otherFull, 0.5),
                    (percentile(otherFull, 0.5) / otherBase - 1) * 100);
    }

    BoxWatcher watcher(mechanism);
    std::printf("mechanism: %s (latency bound %d ms)%s%s\n", watcher.mechanism(), watcher.latencyMs(),
                watcher.whyPolling().empty() ? "" : ": ", watcher.whyPolling().c_str());
    watchAll(watcher);

    // 2. One holder per box, all opened before the hints' spacing, then each
    // closed (or killed) in turn and its hint awaited.
    for (const bool killing : {false, true}) {
        std::vector<double> latencies;
        int missed = 0;
        for (int round = 0; round < rounds; ++round) {
            std::vector<Holder> holders;
            for (int i = 0; i < kBoxes; ++i)
                holders.push_back(startHolder(boxes[i] + "/f"));
            drainFor(watcher, watcher.latencyMs() + 100, nullptr); // the opens' hints
            const int count = polling ? 16 : kBoxes;
            for (int i = 0; i < count; ++i) {
                Clock::time_point acted;
                if (killing) {
                    acted = Clock::now();
                    kill(holders[i].pid, SIGKILL);
                } else {
                    Clock::rep before = 0;
                    if (write(holders[i].control, "c", 1) != 1
                        || read(holders[i].answer, &before, sizeof before) != sizeof before)
                        return 1;
                    acted = Clock::time_point(Clock::duration(before));
                }
                const auto hint = awaitHint(watcher, hinted, i, watcher.latencyMs() + 1000);
                if (hint == Clock::time_point{})
                    ++missed;
                else
                    latencies.push_back(std::chrono::duration<double, std::milli>(hint - acted).count());
            }
            for (Holder &holder : holders)
                endHolder(holder);
            drainFor(watcher, watcher.latencyMs() + 100, nullptr);
        }
        std::printf("%s to hint: p50 %.2f ms, p99 %.2f ms, max %.2f ms over %zu, %d missed\n",
                    killing ? "SIGKILL" : "last close", percentile(latencies, 0.5),
                    percentile(latencies, 0.99), percentile(latencies, 1.0), latencies.size(), missed);
    }

    // 3. Idle: nothing in any box changes.
    long wakeups = 0;
    const double cpuBefore = cpuSeconds();
    drainFor(watcher, idleSeconds * 1000, &wakeups);
    std::printf("idle %d s with %d boxes: %.3f s CPU in the watcher, %ld wake-ups\n", idleSeconds, kBoxes,
                cpuSeconds() - cpuBefore, wakeups);

    const std::string remove = std::string("rm -rf -- ") + top;
    return std::system(remove.c_str()) == 0 ? 0 : 1;
}
