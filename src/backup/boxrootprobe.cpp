// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxrootprobe.h"

#include "callqueue.h"

#include <algorithm>
#include <map>
#include <system_error>
#include <thread>

namespace {

// Paths with a look-up that ran past its bound and has not returned yet,
// counted: two calls may both have stalled on one path.
class StalledPaths
{
public:
    static StalledPaths &instance()
    {
        // Never destroyed: a stalled thread may return while the process exits.
        static StalledPaths *paths = new StalledPaths();
        return *paths;
    }

    bool contains(const QByteArray &path)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        return m_lookUpsUnderWay.count(path) != 0;
    }

    void add(const QByteArray &path)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        ++m_lookUpsUnderWay[path];
    }

    void remove(const QByteArray &path)
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        const auto found = m_lookUpsUnderWay.find(path);
        if (found != m_lookUpsUnderWay.end() && --found->second == 0)
            m_lookUpsUnderWay.erase(found);
    }

private:
    std::mutex m_mutex;
    std::map<QByteArray, int> m_lookUpsUnderWay;
};

} // namespace

// Tests shorten the call deadline, and the bound with it, so that a stalled
// look-up needs no long wait.
int boxRootProbeBoundMs()
{
    return CallQueue::deadlineMs() / 10;
}

BoxRootLookUps::BoxRootLookUps(std::vector<QByteArray> paths)
    : m_paths(std::move(paths)), m_states(m_paths.size(), State::Waiting), m_started(m_paths.size()),
      m_unsettled(m_paths.size())
{
}

BoxRootLookUps::~BoxRootLookUps() = default;

void BoxRootLookUps::settle(std::size_t entry, State state)
{
    m_states[entry] = state;
    if (--m_unsettled == 0)
        m_allSettled.notify_all();
}

bool BoxRootLookUps::keepInTime(std::size_t entry, const std::function<void()> &store)
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_states[entry] == State::Running) {
            store();
            settle(entry, State::Answered);
            return true;
        }
    }
    StalledPaths::instance().remove(m_paths[entry]);
    return false;
}

void BoxRootLookUps::serve(const std::shared_ptr<BoxRootLookUps> &lookUps)
{
    std::unique_lock<std::mutex> lock(lookUps->m_mutex);
    while (lookUps->m_next < lookUps->m_paths.size()) {
        const std::size_t entry = lookUps->m_next++;
        if (lookUps->m_states[entry] != State::Waiting)
            continue;
        lookUps->m_states[entry] = State::Running;
        lookUps->m_started[entry] = Clock::now();
        lock.unlock();
        if (!lookUps->lookUpAndKeep(entry))
            return; // the caller has given this thread's entries to another
        lock.lock();
    }
}

void BoxRootLookUps::addThread(const std::shared_ptr<BoxRootLookUps> &lookUps)
{
    try {
        std::thread([lookUps] { serve(lookUps); }).detach();
    } catch (const std::system_error &) {
        // The entries no thread has taken cannot be judged: stalled, though
        // no look-up of their paths is under way.
        for (; m_next < m_paths.size(); ++m_next) {
            if (m_states[m_next] == State::Waiting)
                settle(m_next, State::Stalled);
        }
    }
}

void BoxRootLookUps::run(const std::shared_ptr<BoxRootLookUps> &lookUps)
{
    BoxRootLookUps &self = *lookUps;
    const auto bound = std::chrono::milliseconds(boxRootProbeBoundMs());
    std::unique_lock<std::mutex> lock(self.m_mutex);
    std::size_t toLookUp = 0;
    for (std::size_t entry = 0; entry < self.m_paths.size(); ++entry) {
        // A later call does not queue behind a look-up already stuck.
        if (StalledPaths::instance().contains(self.m_paths[entry]))
            self.settle(entry, State::Stalled);
        else
            ++toLookUp;
    }
    for (std::size_t i = 0; i < std::min(toLookUp, kAtOnce); ++i)
        self.addThread(lookUps);
    while (self.m_unsettled > 0) {
        // Entries taken later are due later: waking at the first due time
        // (or after a bound, while none has been taken) misses none.
        const Clock::time_point now = Clock::now();
        Clock::time_point firstDue = now + bound;
        for (std::size_t entry = 0; entry < self.m_paths.size(); ++entry) {
            if (self.m_states[entry] != State::Running)
                continue;
            if (now < self.m_started[entry] + bound) {
                firstDue = std::min(firstDue, self.m_started[entry] + bound);
                continue;
            }
            // Its thread stays with it; another takes over the entries left.
            StalledPaths::instance().add(self.m_paths[entry]);
            self.settle(entry, State::Stalled);
            if (self.m_next < self.m_paths.size())
                self.addThread(lookUps);
        }
        if (self.m_unsettled > 0)
            self.m_allSettled.wait_until(lock, firstDue);
    }
}
