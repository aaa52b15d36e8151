// SPDX-License-Identifier: GPL-2.0-or-later
#include "callguard.h"

#include <cassert>

namespace {

thread_local CallGuard *t_guard = nullptr;

} // namespace

bool CallGuard::beginAct()
{
    int expected = Working;
    return m_state.compare_exchange_strong(expected, Acting);
}

void CallGuard::endAct(Act act)
{
    m_acts[static_cast<int>(act)].fetch_add(1);
    int expected = Acting;
    // Fails only when the deadline came meanwhile: the state stays StopAfterAct.
    m_state.compare_exchange_strong(expected, Working);
}

CallGuard::Claim CallGuard::expire()
{
    int state = m_state.load();
    for (;;) {
        if (state == Working && m_state.compare_exchange_weak(state, Answered))
            return Claim::Answer;
        if (state == Acting && m_state.compare_exchange_weak(state, StopAfterAct))
            return Claim::LeftToWork;
        if (state == StopAfterAct || state == Answered)
            return Claim::Nothing;
    }
}

CallGuard::Claim CallGuard::finish()
{
    int state = m_state.load();
    for (;;) {
        assert(state != Acting);
        if (state == Working && m_state.compare_exchange_weak(state, Answered))
            return Claim::Answer;
        if (state == StopAfterAct && m_state.compare_exchange_weak(state, Answered))
            return Claim::LeftToWork;
        if (state == Answered)
            return Claim::Nothing;
    }
}

bool CallGuard::stopped() const
{
    const int state = m_state.load();
    return state == StopAfterAct || state == Answered;
}

QByteArray CallGuard::actsForLog() const
{
    return QByteArray::number(m_acts[0].load()) + " signals, " + QByteArray::number(m_acts[1].load())
        + " unmounts, " + QByteArray::number(m_acts[2].load()) + " removals";
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
    : m_guard(t_guard), m_act(act), m_allowed(!m_guard || m_guard->beginAct())
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

CallGuard *currentCallGuard()
{
    return t_guard;
}
