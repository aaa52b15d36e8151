// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "buscaller.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QVariant>

#include <sys/types.h>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>

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
// The backup tool's wipes run kBackupToolWidth at a time, and those of one box
// root (its lane) one at a time: what waits behind a stuck wipe is another
// wipe of the same box root, not a wipe of another.
// At most kWorkers calls run at a time, taken from the shares in turn.
// Deadline: a call not answered after deadlineMs() gets its refusal reply and
// a log line, even when its worker is stuck in an act (see CallGuard). A
// worker stuck past it (a file system that stopped answering) no longer
// counts against kWorkers, and keeps its lane until it returns and its late
// answer is dropped. A plain user's stuck worker keeps counting against that
// user's share; one of a share that serves many users' boxes (the backup
// tool's, the discovery's, root's) stops counting there, up to kStuckReleased
// such workers at once, so one user's stalled box holds up no other user's
// wipe. The answer is the call's last act: once it is out, the work's
// signals, unmounts and removals are refused.
class CallQueue : public QObject
{
    Q_OBJECT
public:
    // Two cores: one caller takes at most one (the backup tool two); two more
    // workers let further callers start while two calls are stuck or busy.
    static constexpr int kWorkers = 4;
    static constexpr int kSharePerUid = 1;
    static constexpr int kQueuePerUid = 16;
    // Two wipes at once: one box's hostile kill rounds (seconds) leave the
    // other core to the next box's wipe, which then takes at most twice
    // its time; more would only share the same two cores.
    static constexpr int kBackupToolWidth = 2;
    // Stuck workers of the many-user shares that no longer count against
    // their share: each sits in the kernel, costing a thread and no
    // processor. The backup tool's lanes allow one per box root, and the
    // look-ups of the discovery never stick, so 16 (a queue's worth of
    // root's own calls) is reached only by a flood; past it, a stuck worker
    // keeps its share as a plain user's does, bounding the threads.
    static constexpr int kStuckReleased = 16;
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
    // Calls of one share with the same non-empty lane (a box root a wipe
    // changes) run one at a time.
    void submit(const QDBusConnection &connection, const QDBusMessage &message, const BusCaller &caller,
                Share share, const char *function, Effect effect, const QList<QVariant> &refusal, Work work,
                const QByteArray &lane = QByteArray());

    // kDeadlineMs, or the shorter deadline tests set in
    // ARKVANE_TEST_CALL_DEADLINE_MS (read once). Safe on any thread: the
    // box-root look-ups take their bound from it.
    static int deadlineMs();

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
        int running = 0;                // stuck workers released from the share not counted
        std::set<QByteArray> busyLanes; // of workers running, stuck ones too
    };

    CallQueue();
    void startWhatMay();
    // The first waiting call of the share that may start now, or none.
    std::deque<std::shared_ptr<Call>>::iterator startable(ShareKey key);
    static int widthOf(ShareKey key);
    static bool servesManyUsers(ShareKey key);
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
    int m_active = 0;             // running calls not yet past their deadline
    int m_stuckReleased = 0;      // stuck workers not counted against their share
};
