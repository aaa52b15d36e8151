// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

#include <atomic>
#include <mutex>

// An answer is the last act of its call. Every act of a call that changes the
// system (a signal, an unmount, a removal) is made through the guard of the
// call the thread works for. Once the call is answered the guard refuses
// every further act. The deadline answers even while acts are under way: an
// act may stall (an unlink on a file system whose server stopped answering),
// and no act may withhold an answer. Those acts, begun before the answer, are
// then the call's last, and the late line says they were under way. A call's
// work may act on more than one thread (each box root of a wipe of all).
class CallGuard
{
public:
    enum class Act { Signal, Unmount, Removal };
    enum class Claim {
        Answer,  // this side answers now
        Nothing, // already answered
    };

    // Worker, before one act: false when the call is answered.
    bool beginAct(Act act);
    void endAct(Act act);
    // Deadline (bus thread).
    Claim expire();
    // Worker, once its work has returned: Answer with its result.
    Claim finish();
    // Whether further acts would be refused: the work may stop early.
    bool stopped() const;

    // "2 signals, 0 unmounts, 14 removals": what the call did, for its log
    // line, and "; a removal under way is its last" when the answer came
    // during one.
    QByteArray actsForLog() const;

    // The guard the calling thread's acts go through; null when none.
    static CallGuard *current();

    // Makes guard the one the calling thread's acts go through while it lives.
    class Scope
    {
    public:
        explicit Scope(CallGuard &guard);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        CallGuard *m_previous;
    };

private:
    // Held only to read or change the answer with the counts, never across
    // an act, so the deadline never waits for one.
    mutable std::mutex m_lock;
    std::atomic<bool> m_answered{false}; // read alone by stopped()
    int m_underWay[3] = {};
    int m_acts[3] = {};
};

// One act through the calling thread's guard (always allowed on a thread that
// works for no call: direct calls from tests). Test it before acting:
//     const GuardedAct act(CallGuard::Act::Removal);
//     if (!act) return ECANCELED;
class GuardedAct
{
public:
    explicit GuardedAct(CallGuard::Act act);
    ~GuardedAct();
    GuardedAct(const GuardedAct &) = delete;
    GuardedAct &operator=(const GuardedAct &) = delete;
    explicit operator bool() const { return m_allowed; }

private:
    CallGuard *m_guard;
    CallGuard::Act m_act;
    bool m_allowed;
};

// Whether the calling thread's call has been answered (false on a thread that
// works for no call): long work stops at its next step.
bool currentCallStopped();
