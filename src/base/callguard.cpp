// SPDX-License-Identifier: GPL-2.0-or-later
#include "callguard.h"

#include <cassert>

namespace {

thread_local CallGuard *t_guard = nullptr;

} // namespace

bool CallGuard::beginAct(Act act)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    if (m_state.load() != Working)
        return false;
    m_actUnderWay = act;
    m_state.store(Acting);
    return true;
}

void CallGuard::endAct(Act act)
{
    const std::lock_guard<std::mutex> lock(m_lock);
    ++m_acts[static_cast<int>(act)];
    // AnsweredInAct: the deadline answered meanwhile, and this was the last act.
    m_state.store(m_state.load() == Acting ? Working : Answered);
}

CallGuard::Claim CallGuard::expire()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    switch (m_state.load()) {
    case Working:
        m_state.store(Answered);
        return Claim::Answer;
    case Acting:
        // The act may never return: the answer does not wait for it.
        m_state.store(AnsweredInAct);
        return Claim::Answer;
    default:
        return Claim::Nothing;
    }
}

CallGuard::Claim CallGuard::finish()
{
    const std::lock_guard<std::mutex> lock(m_lock);
    assert(m_state.load() != Acting && m_state.load() != AnsweredInAct);
    if (m_state.load() != Working)
        return Claim::Nothing;
    m_state.store(Answered);
    return Claim::Answer;
}

bool CallGuard::stopped() const
{
    const int state = m_state.load();
    return state == AnsweredInAct || state == Answered;
}

QByteArray CallGuard::actsForLog() const
{
    static const char *const kNames[] = {"signal", "unmount", "removal"};
    const std::lock_guard<std::mutex> lock(m_lock);
    QByteArray text = QByteArray::number(m_acts[0]) + " signals, " + QByteArray::number(m_acts[1])
        + " unmounts, " + QByteArray::number(m_acts[2]) + " removals";
    if (m_state.load() == AnsweredInAct)
        text += QByteArray("; a ") + kNames[static_cast<int>(m_actUnderWay)] + " under way is its last";
    return text;
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
