// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "buscaller.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariant>

#include <sys/types.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>

// What a call's work hands back: the reply's arguments and the bytes they
// take in a bus message (0 for replies too small to matter).
struct CallAnswer
{
    QList<QVariant> arguments;
    qint64 wireBytes = 0;
};

// Runs the expensive bus calls (scans, kills, wipes) on worker threads and
// answers them through delayed replies, sent from the worker, so the thread
// that reads the bus keeps answering the cheap ones. Lives on that thread;
// every member below is touched there only.
//
// Fair shares: each caller uid runs at most kSharePerUid calls at a time and
// queues at most kQueuePerUid more; a call beyond that is refused at once.
// At most kWorkers calls run at a time, taken from the uids in turn.
// Deadline: a call not answered after deadlineMs() gets its refusal reply and
// a log line. A worker stuck past it (a file system that stopped answering)
// no longer counts against kWorkers, only against its own uid's share, until
// it returns and its late answer is dropped. The answer is the call's last
// act: once it is out, the work's signals, unmounts and removals are refused
// (see CallGuard), and a deadline that comes during one of them leaves the
// answer, -1, to the worker right after it.
class CallQueue : public QObject
{
    Q_OBJECT
public:
    // Two cores: one caller takes at most one; two more workers let further
    // callers start while two calls are stuck or busy.
    static constexpr int kWorkers = 4;
    static constexpr int kSharePerUid = 1;
    static constexpr int kQueuePerUid = 16;
    // Below the bus's 25 s default call timeout, leaving the reply time to travel.
    static constexpr int kDeadlineMs = 20000;
    // A bus message may hold 32 MiB on a stock system bus; the margin covers
    // the header and what the estimate leaves out.
    static constexpr qint64 kMaxReplyBytes = 28ll << 20;
    // Replies larger than this give their memory back to the system once sent.
    static constexpr qint64 kTrimAfterBytes = 1ll << 20;

    using Work = std::function<CallAnswer()>;

    static CallQueue &instance();

    // Whose share a call takes: its caller's uid, or one of the backup tool's
    // own, so that a stuck listing of root's never holds up a wipe, and a
    // running wipe never holds up the listing of the box roots.
    enum class Share { OfCaller, OfBackupTool, OfDiscovery };

    // Whether a call's work may change the system (signals, unmounts,
    // removals): its late line then says what it did before it stopped.
    enum class Effect { Reads, Changes };

    // Takes over the answer to message, whose slot has set a delayed reply.
    // work runs on a worker thread and must not touch the bus context;
    // refusal is the reply's arguments when the call is refused or late.
    void submit(const QDBusConnection &connection, const QDBusMessage &message,
                const BusCaller &caller, Share share, const char *function, Effect effect,
                const QList<QVariant> &refusal, Work work);

    int deadlineMs() const { return m_deadlineMs; }

private:
    struct Call;
    // A caller's uid, or one of the backup tool's shares: wider than uid_t,
    // so never a uid.
    using ShareKey = qint64;
    static constexpr ShareKey kBackupToolShare = -1;
    static constexpr ShareKey kDiscoveryShare = -2;
    struct Queue
    {
        std::deque<std::shared_ptr<Call>> waiting;
        int running = 0;
    };

    CallQueue();
    void startWhatMay();
    void start(const std::shared_ptr<Call> &call);
    // On the worker: runs the work and answers, unless the deadline did.
    void answerOnWorker(Call &call);
    void finish(const std::shared_ptr<Call> &call);
    void expire(const std::shared_ptr<Call> &call);
    void logLate(const Call &call, const char *where) const;
    static void send(const Call &call, const QList<QVariant> &arguments);
    void forgetIfIdle(ShareKey key);

    std::map<ShareKey, Queue> m_shares;
    std::deque<ShareKey> m_turns; // shares with waiting calls, next to be served first
    int m_active = 0; // running calls not yet past their deadline
    int m_deadlineMs;
};
