#pragma once

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// Look-ups of box roots that may never return: a home on a network file
// system whose server died, a ~/.box link into a user's own FUSE mount that
// stopped answering. Each runs on a thread of its own and is waited for a
// bounded time; one that does not finish in time is "stalled": its thread
// finishes on its own whenever the kernel lets it, drops its result (closing
// what it opened) and nothing is ever done with it. Until then, a look-up of
// the same path is answered "stalled" at once, without a thread or a wait.

// How long one look-up is waited for: a tenth of the call deadline (2 s), so
// that a listing of the box roots, or a wipe of every one of them, still
// answers in time when several accounts stall at once.
int boxRootProbeBoundMs();

namespace boxrootprobe {

using Clock = std::chrono::steady_clock;

// Paths with a look-up that ran past its bound and has not returned yet.
bool isKnownToStall(const QByteArray &path);
void markStalled(const QByteArray &path);
void forgetStalled(const QByteArray &path);

// Starts job on a detached thread; false when no thread could be made.
bool startThread(std::function<void()> job);

// At most this many look-ups of one call run at once: a look-up that does not
// stall takes microseconds, so the threads are there only to overlap stalls.
constexpr std::size_t kLookupsAtOnce = 8;

template <typename Result>
struct Batch
{
    enum class State { Waiting, Running, Done, Stalled };

    std::mutex mutex;
    std::condition_variable progressed;
    std::vector<QByteArray> paths;
    std::function<Result(const QByteArray &)> lookup;
    std::vector<State> states;
    std::vector<Clock::time_point> started;
    std::vector<std::optional<Result>> results;
    std::size_t next = 0; // the first entry no thread has taken yet

    // One thread's loop: takes entries until none is left, or until the one it
    // looks up is declared stalled (then the caller has made another thread).
    static void serve(const std::shared_ptr<Batch> &batch)
    {
        std::unique_lock<std::mutex> lock(batch->mutex);
        while (batch->next < batch->paths.size()) {
            const std::size_t entry = batch->next++;
            if (batch->states[entry] != State::Waiting)
                continue;
            batch->states[entry] = State::Running;
            batch->started[entry] = Clock::now();
            batch->progressed.notify_all(); // its bound starts now
            lock.unlock();
            std::optional<Result> found(batch->lookup(batch->paths[entry]));
            lock.lock();
            if (batch->states[entry] == State::Stalled) {
                lock.unlock();
                forgetStalled(batch->paths[entry]);
                return; // `found` is dropped here, on this thread
            }
            batch->results[entry] = std::move(found);
            batch->states[entry] = State::Done;
            batch->progressed.notify_all();
        }
    }

    // false when no thread could be made: the entries no thread has taken are
    // then stalled too (they cannot be judged), and their paths not marked.
    bool addThread(const std::shared_ptr<Batch> &batch)
    {
        if (startThread([batch] { serve(batch); }))
            return true;
        for (; next < paths.size(); ++next) {
            if (states[next] == State::Waiting)
                states[next] = State::Stalled;
        }
        return false;
    }
};

} // namespace boxrootprobe

// lookup(path) for every path, each on a thread of its own call (at most
// kLookupsAtOnce at once), each waited for boxRootProbeBoundMs() from its
// start: the results in the order of paths, empty for a look-up that stalled.
template <typename Result>
std::vector<std::optional<Result>> lookUpEachWithin(const std::vector<QByteArray> &paths,
                                                    std::function<Result(const QByteArray &)> lookup)
{
    using namespace boxrootprobe;
    using Batch = boxrootprobe::Batch<Result>;
    using State = typename Batch::State;
    const auto batch = std::make_shared<Batch>();
    batch->paths = paths;
    batch->lookup = std::move(lookup);
    batch->states.assign(paths.size(), State::Waiting);
    batch->started.resize(paths.size());
    batch->results.resize(paths.size());
    const auto bound = std::chrono::milliseconds(boxRootProbeBoundMs());

    std::unique_lock<std::mutex> lock(batch->mutex);
    std::size_t toLookUp = 0;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (isKnownToStall(paths[i]))
            batch->states[i] = State::Stalled; // no queueing behind a look-up already stuck
        else
            ++toLookUp;
    }
    for (std::size_t i = 0; i < std::min(toLookUp, kLookupsAtOnce) && batch->addThread(batch); ++i) {
    }
    for (;;) {
        bool unfinished = false;
        Clock::time_point firstDue = Clock::time_point::max();
        const Clock::time_point now = Clock::now();
        for (std::size_t i = 0; i < paths.size(); ++i) {
            if (batch->states[i] == State::Waiting)
                unfinished = true;
            if (batch->states[i] != State::Running)
                continue;
            if (now < batch->started[i] + bound) {
                unfinished = true;
                firstDue = std::min(firstDue, batch->started[i] + bound);
                continue;
            }
            // Its thread stays with it; another takes over the entries left.
            batch->states[i] = State::Stalled;
            markStalled(paths[i]);
            if (batch->next < paths.size())
                batch->addThread(batch);
        }
        if (!unfinished)
            break;
        if (firstDue == Clock::time_point::max())
            batch->progressed.wait_for(lock, bound); // a thread has yet to take its first entry
        else
            batch->progressed.wait_until(lock, firstDue);
    }
    return std::move(batch->results);
}
