// SPDX-License-Identifier: GPL-2.0-or-later
#include "callguard.h"

#include <cassert>

namespace {

thread_local CallGuard *t_guard = nullptr;

} // namespace

bool CallGuard::beginAct(Act act)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_answered.load())
        return false;
    ++m_underWay[static_cast<int>(act)];
    return true;
}

void CallGuard::endAct(Act act)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    --m_underWay[static_cast<int>(act)];
    ++m_acts[static_cast<int>(act)];
}

CallGuard::Claim CallGuard::expire()
{
    // Acts under way may never return: the answer does not wait for them.
    const std::lock_guard<std::mutex> lock(m_lock);
    return m_answered.exchange(true) ? Claim::Nothing : Claim::Answer;
}

CallGuard::Claim CallGuard::finish()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    assert(m_underWay[0] == 0 && m_underWay[1] == 0 && m_underWay[2] == 0);
    return m_answered.exchange(true) ? Claim::Nothing : Claim::Answer;
}

bool CallGuard::stopped() const
{
    return m_answered.load();
}

QByteArray CallGuard::actsForLog() const
{
    static const char *const kNames[] = {"signal", "unmount", "removal"};
    const std::lock_guard<std::mutex> lock(m_lock);
    QByteArray text = QByteArray::number(m_acts[0]) + " signals, " + QByteArray::number(m_acts[1])
                      + " unmounts, " + QByteArray::number(m_acts[2]) + " removals";
    QByteArray underWay;
    int count = 0;
    for (int act = 0; act < 3; ++act) {
        if (m_underWay[act] == 0)
            continue;
        underWay += (count == 0 ? "" : " and ")
                    + (m_underWay[act] == 1 ? QByteArray("a ") : QByteArray::number(m_underWay[act]) + ' ')
                    + kNames[act] + (m_underWay[act] == 1 ? "" : "s");
        count += m_underWay[act];
    }
    if (count > 0)
        text += "; " + underWay + (count == 1 ? " under way is its last" : " under way are its last");
    return text;
}

CallGuard *CallGuard::current()
{
    return t_guard;
}

CallGuard::Scope::Scope(CallGuard &guard) : m_previous(t_guard)
{
    t_guard = &guard;
}

CallGuard::Scope::~Scope()
{
    t_guard = m_previous;
}

GuardedAct::GuardedAct(CallGuard::Act act)
    : m_guard(t_guard), m_act(act), m_allowed(!m_guard || m_guard->beginAct(act))
{
}

GuardedAct::~GuardedAct()
{
    if (m_guard && m_allowed)
        m_guard->endAct(m_act);
}

bool currentCallStopped()
{
    return t_guard && t_guard->stopped();
}
