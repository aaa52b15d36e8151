// SPDX-License-Identifier: GPL-2.0-or-later
#include "callqueue.h"

#include "callguard.h"
#include "keptthreads.h"
#include "logsites.h"
#include "systemlog.h"

#include <QByteArray>
#include <QDebug>
#include <QMetaObject>
#include <QTimer>

#include <malloc.h>
#include <pthread.h>
#include <sched.h>
#include <syslog.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

struct CallQueue::Call
{
    Call(const QDBusConnection &busConnection, const QDBusMessage &busMessage)
        : connection(busConnection), message(busMessage)
    {
    }

    QDBusConnection connection;
    QDBusMessage message;
    ShareKey key = 0;
    QByteArray lane;
    BusCaller caller;
    const char *function = nullptr;
    bool changesSystem = false;
    QList<QVariant> refusal;
    Work work;
    // The next two only on the bus thread.
    bool started = false;
    bool late = false;     // its deadline passed while it ran
    bool released = false; // stuck, and no longer counted against its share
    // Decides who answers, the worker or the deadline, and stops the work's
    // acts once the answer is out.
    CallGuard guard;
};

namespace {

// Workers are batch threads: the scheduler lets a waking bus thread preempt
// them at once, so with every core busy scanning a cheap call is still read
// and answered, while their share of the processor stays that of any other
// thread. Failure (a system-call filter refusing sched_setscheduler) leaves
// the worker an ordinary thread, and cheap calls wait behind scans: said once.
void yieldToTheBusThread()
{
    const sched_param parameters{};
    const int error = pthread_setschedparam(pthread_self(), SCHED_BATCH, &parameters);
    static std::atomic<bool> told{false};
    if (error != 0 && !told.exchange(true)) {
        qDebug(DEBUG_NOT_BATCH, strerror(error));
    }
}

KeptThreads &threadPool()
{
    // Never destroyed: its threads live as long as the process.
    static KeptThreads *pool = new KeptThreads(yieldToTheBusThread);
    return *pool;
}

// Tests shorten the deadline so that a stuck call's answer needs no long wait.
int deadlineFromEnvironment()
{
    const QByteArray text = qgetenv("ARKVANE_TEST_CALL_DEADLINE_MS");
    bool ok = false;
    const int value = text.toInt(&ok);
    return ok && value > 0 && value <= CallQueue::kDeadlineMs ? value : CallQueue::kDeadlineMs;
}

} // namespace

CallQueue::CallQueue() = default;

int CallQueue::deadlineMs()
{
    static const int deadline = deadlineFromEnvironment();
    return deadline;
}

CallQueue &CallQueue::instance()
{
    // Never destroyed: detached workers may still report back at exit.
    static CallQueue *queue = new CallQueue();
    return *queue;
}

void CallQueue::submit(const QDBusConnection &connection, const QDBusMessage &message,
                       const BusCaller &caller, Share share, const char *function, Effect effect,
                       const QList<QVariant> &refusal, Work work, const QByteArray &lane)
{
    // Callers the bus daemon could not name share one queue.
    const ShareKey key = share == Share::OfBackupTool  ? kBackupToolShare
                         : share == Share::OfDiscovery ? kDiscoveryShare
                         : caller.uidKnown             ? ShareKey(caller.uid)
                                                       : ShareKey(uid_t(-1));
    auto call = std::make_shared<Call>(connection, message);
    call->key = key;
    call->lane = lane;
    call->caller = caller;
    call->function = function;
    call->changesSystem = effect == Effect::Changes;
    call->refusal = refusal;
    call->work = std::move(work);
    Queue &queue = m_shares[key];
    if (static_cast<int>(queue.waiting.size()) >= kQueuePerUid) {
        syslog(LOG_INFO, LOG_QUEUE_FULL, function, uidForLog(caller.uidKnown, caller.uid).constData(),
               kQueuePerUid);
        send(*call, refusal);
        return;
    }
    if (queue.waiting.empty())
        m_turns.push_back(key);
    queue.waiting.push_back(call);
    const std::weak_ptr<Call> weak = call;
    QTimer::singleShot(deadlineMs(), this, [this, weak] {
        if (const auto late = weak.lock())
            expire(late);
    });
    startWhatMay();
}

int CallQueue::widthOf(ShareKey key)
{
    return key == kBackupToolShare ? kBackupToolWidth : kSharePerUid;
}

bool CallQueue::servesManyUsers(ShareKey key)
{
    return key == kBackupToolShare || key == kDiscoveryShare || key == ShareKey(0);
}

std::deque<std::shared_ptr<CallQueue::Call>>::iterator CallQueue::startable(ShareKey key)
{
    Queue &queue = m_shares[key];
    if (queue.running >= widthOf(key))
        return queue.waiting.end();
    return std::find_if(queue.waiting.begin(), queue.waiting.end(),
                        [&queue](const std::shared_ptr<Call> &call) {
                            return call->lane.isEmpty() || queue.busyLanes.count(call->lane) == 0;
                        });
}

void CallQueue::startWhatMay()
{
    // One pass over the shares in turn per free worker; a share that is full,
    // or whose calls wait for their lanes, keeps its place and waits.
    while (m_active < kWorkers) {
        auto it = std::find_if(m_turns.begin(), m_turns.end(), [this](ShareKey key) {
            return startable(key) != m_shares[key].waiting.end();
        });
        if (it == m_turns.end())
            return;
        const ShareKey key = *it;
        m_turns.erase(it);
        Queue &queue = m_shares[key];
        const auto next = startable(key);
        const std::shared_ptr<Call> call = *next;
        queue.waiting.erase(next);
        if (!queue.waiting.empty())
            m_turns.push_back(key);
        start(call);
    }
}

void CallQueue::start(const std::shared_ptr<Call> &call)
{
    Queue &queue = m_shares[call->key];
    ++queue.running;
    if (!call->lane.isEmpty())
        queue.busyLanes.insert(call->lane);
    ++m_active;
    call->started = true;
    const bool running = threadPool().run([this, call] {
        answerOnWorker(*call);
        QMetaObject::invokeMethod(
            this, [this, call] { finish(call); }, Qt::QueuedConnection);
    });
    if (!running) {
        // No thread to be had: the call is refused, as a late one would be.
        call->guard.finish();
        syslog(LOG_INFO, LOG_NO_WORKER, call->function,
               uidForLog(call->caller.uidKnown, call->caller.uid).constData());
        send(*call, call->refusal);
        finish(call);
    }
}

void CallQueue::answerOnWorker(Call &call)
{
    qint64 wireBytes = 0;
    {
        CallAnswer result;
        {
            const CallGuard::Scope acts(call.guard);
            result = call.work();
        }
        wireBytes = result.wireBytes;
        // Marshalled and sent here: a large reply costs the bus thread nothing.
        switch (call.guard.finish()) {
        case CallGuard::Claim::Answer:
            if (result.wireBytes > kMaxReplyBytes) {
                syslog(LOG_INFO, LOG_REPLY_TOO_LARGE, call.function, static_cast<long long>(result.wireBytes),
                       uidForLog(call.caller.uidKnown, call.caller.uid).constData());
                send(call, call.refusal);
            } else {
                send(call, result.arguments);
            }
            break;
        case CallGuard::Claim::Nothing:
            // Answered at the deadline; every act since was refused.
            if (call.changesSystem)
                qDebug(DEBUG_WORK_AFTER_ANSWER, call.function, call.guard.actsForLog().constData());
            break;
        }
    }
    // A large listing leaves its worker's arena grown; given back now, the
    // daemon returns to its idle size between bursts.
    if (wireBytes > kTrimAfterBytes)
        malloc_trim(0);
}

void CallQueue::finish(const std::shared_ptr<Call> &call)
{
    Queue &queue = m_shares[call->key];
    if (call->released)
        --m_stuckReleased;
    else
        --queue.running;
    queue.busyLanes.erase(call->lane);
    if (!call->late)
        --m_active;
    forgetIfIdle(call->key);
    startWhatMay();
}

void CallQueue::expire(const std::shared_ptr<Call> &call)
{
    const CallGuard::Claim claim = call->guard.expire();
    // A worker that answered first keeps its answer.
    if (claim == CallGuard::Claim::Nothing)
        return;
    if (call->started) {
        // The worker may be stuck in the kernel: the pool gets the place
        // back now; its lane stays taken until it returns, and so does a
        // plain user's share.
        call->late = true;
        --m_active;
        if (servesManyUsers(call->key) && m_stuckReleased < kStuckReleased) {
            call->released = true;
            ++m_stuckReleased;
            --m_shares[call->key].running;
        }
    } else {
        Queue &queue = m_shares[call->key];
        queue.waiting.erase(std::find(queue.waiting.begin(), queue.waiting.end(), call));
        if (queue.waiting.empty())
            m_turns.erase(std::find(m_turns.begin(), m_turns.end(), call->key));
    }
    logLate(*call, call->started ? "from its worker" : "while waiting for a worker");
    send(*call, call->refusal);
    forgetIfIdle(call->key);
    startWhatMay();
}

void CallQueue::logLate(const Call &call, const char *where) const
{
    // A call that may change the system says what it did before it stopped.
    const QByteArray acts =
        call.changesSystem ? "; it stopped after " + call.guard.actsForLog() : QByteArray();
    syslog(LOG_INFO, LOG_NO_ANSWER_IN_TIME, call.function, deadlineMs(), where,
           uidForLog(call.caller.uidKnown, call.caller.uid).constData(), acts.constData());
}

void CallQueue::send(const Call &call, const QList<QVariant> &arguments)
{
    call.connection.send(call.message.createReply(arguments));
}

void CallQueue::forgetIfIdle(ShareKey key)
{
    const auto it = m_shares.find(key);
    if (it != m_shares.end() && it->second.running == 0 && it->second.waiting.empty()
        && it->second.busyLanes.empty())
        m_shares.erase(it);
}
