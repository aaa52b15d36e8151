// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

// Threads kept for the next job once their job is done: no thread is made per
// job, and a thread's processor time stays readable under /proc. A thread is
// made only when no idle one is left for the job, so there are never more
// than the jobs ever running at once (stuck ones included). The threads live
// as long as the process: keep the object alive that long too.
class KeptThreads
{
public:
    // onStart runs first on every thread made (its scheduling, say).
    explicit KeptThreads(std::function<void()> onStart = {});

    // Hands job to an idle thread, or to a new one. False, with the job
    // dropped, when no thread could be made.
    bool run(std::function<void()> job);

private:
    void serve();

    std::function<void()> m_onStart;
    std::mutex m_lock;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    int m_idle = 0;
};
