// SPDX-License-Identifier: GPL-2.0-or-later
#include "keptthreads.h"

#include <system_error>
#include <thread>

KeptThreads::KeptThreads(std::function<void()> onStart) : m_onStart(std::move(onStart)) {}

bool KeptThreads::run(std::function<void()> job)
{
    // The lock is held until the job is taken or dropped, so a failed start
    // drops this job and no other.
    const std::lock_guard<std::mutex> hold(m_lock);
    m_jobs.push_back(std::move(job));
    // Idle threads already woken for earlier jobs are spoken for.
    if (m_idle >= static_cast<int>(m_jobs.size())) {
        m_wake.notify_one();
        return true;
    }
    try {
        std::thread([this] { serve(); }).detach();
        return true;
    } catch (const std::system_error &) {
        m_jobs.pop_back();
        return false;
    }
}

void KeptThreads::serve()
{
    if (m_onStart)
        m_onStart();
    std::unique_lock<std::mutex> hold(m_lock);
    for (;;) {
        ++m_idle;
        m_wake.wait(hold, [this] { return !m_jobs.empty(); });
        --m_idle;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        hold.unlock();
        job();
        hold.lock();
    }
}
