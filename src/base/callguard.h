// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

#include <atomic>

// An answer is the last act of its call. Every act of a call that changes the
// system (a signal, an unmount, a removal) is made through the guard of the
// call the thread works for. Once the call is answered the guard refuses
// every further act; while an act is under way the call cannot be answered:
// the deadline that comes then leaves the answer to the worker, which stops
// after that act. An act is a single system call that cannot stall (pidfd
// signals, detaching unmounts, unlinks on the box's own file system), so the
// bus thread never waits for one.
class CallGuard
{
public:
    enum class Act { Signal, Unmount, Removal };
    enum class Claim {
        Answer,     // this side answers now
        LeftToWork, // an act is under way: the worker answers -1 after it
        Nothing,    // already answered, or left to the worker
    };

    // Worker, before one act: false when the call is answered or must stop.
    bool beginAct();
    void endAct(Act act);
    // Deadline (bus thread).
    Claim expire();
    // Worker, once its work has returned: Answer with its result, or, after a
    // deadline that came during an act, LeftToWork: answer -1 as late.
    Claim finish();
    // Whether further acts would be refused: the work may stop early.
    bool stopped() const;

    // "2 signals, 0 unmounts, 14 removals": what the call did, for its log line.
    QByteArray actsForLog() const;

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
    enum State { Working, Acting, StopAfterAct, Answered };
    std::atomic<int> m_state{Working};
    std::atomic<int> m_acts[3] = {};
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
// The calling thread's guard, or none: lets work handed to another thread
// stop when the call it serves is answered.
CallGuard *currentCallGuard();
