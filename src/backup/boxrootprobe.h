// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

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

// How long one look-up is waited for: a tenth of the call deadline (2 s).
// Ample for any file system that answers at all, and short enough that a
// wipe of every box root still answers in time when several accounts stall.
int boxRootProbeBoundMs();

// The untyped part of lookUpEachWithin: which entry runs where, and when.
class BoxRootLookUps
{
public:
    // At most this many look-ups of one call run at once: a look-up that
    // answers takes microseconds, so threads are there only to overlap stalls.
    static constexpr std::size_t kAtOnce = 8;

    explicit BoxRootLookUps(std::vector<QByteArray> paths);
    virtual ~BoxRootLookUps();
    BoxRootLookUps(const BoxRootLookUps &) = delete;
    BoxRootLookUps &operator=(const BoxRootLookUps &) = delete;

    // Returns once every entry is answered or stalled.
    static void run(const std::shared_ptr<BoxRootLookUps> &lookUps);

protected:
    std::size_t entryCount() const { return m_paths.size(); }
    const QByteArray &pathOf(std::size_t entry) const { return m_paths[entry]; }
    // On a probe thread: runs store, under the lock, only while the entry is
    // still waited for; false when the answer came too late.
    bool keepInTime(std::size_t entry, const std::function<void()> &store);

private:
    enum class State { Waiting, Running, Answered, Stalled };
    using Clock = std::chrono::steady_clock;

    // On a probe thread: looks the entry up and hands the result to
    // keepInTime; returns what that said.
    virtual bool lookUpAndKeep(std::size_t entry) = 0;
    static void serve(const std::shared_ptr<BoxRootLookUps> &lookUps);
    void addThread(const std::shared_ptr<BoxRootLookUps> &lookUps);
    void settle(std::size_t entry, State state);

    const std::vector<QByteArray> m_paths;
    std::mutex m_mutex;
    std::condition_variable m_allSettled;
    std::vector<State> m_states;
    std::vector<Clock::time_point> m_started;
    std::size_t m_next = 0;  // the first entry no thread has taken yet
    std::size_t m_unsettled; // entries neither answered nor stalled
};

// lookup(path) for every path, each waited for boxRootProbeBoundMs() from its
// start: the results in the order of paths, empty where a look-up stalled.
template <typename Result>
std::vector<std::optional<Result>> lookUpEachWithin(std::vector<QByteArray> paths,
                                                    std::function<Result(const QByteArray &)> lookup)
{
    class Typed : public BoxRootLookUps
    {
    public:
        Typed(std::vector<QByteArray> entries, std::function<Result(const QByteArray &)> lookUpOne)
            : BoxRootLookUps(std::move(entries)), m_lookUpOne(std::move(lookUpOne)), results(entryCount())
        {
        }

    private:
        bool lookUpAndKeep(std::size_t entry) override
        {
            std::optional<Result> found(m_lookUpOne(pathOf(entry)));
            // Too late: dropped here, on this thread, closing whatever it opened.
            return keepInTime(entry, [&] { results[entry] = std::move(found); });
        }

        const std::function<Result(const QByteArray &)> m_lookUpOne;

    public:
        std::vector<std::optional<Result>> results; // written only while its entry is waited for
    };
    const auto lookUps = std::make_shared<Typed>(std::move(paths), std::move(lookup));
    BoxRootLookUps::run(lookUps);
    return std::move(lookUps->results);
}
