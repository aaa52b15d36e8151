// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxactivityservice.h"

#include "boxpath.h"
#include "boxwatches.h"
#include "buscaller.h"
#include "calleraccount.h"
#include "callguard.h"
#include "callqueue.h"
#include "holderrecords.h"
#include "logsites.h"
#include "scanmessages.h"
#include "servedpath.h"
#include "systemlog.h"
#include "utf8text.h"

#include <QDebug>

#include <syslog.h>

#include <cerrno>
#include <cstring>

#include <cassert>

namespace {

QString modeText(unsigned access)
{
    QString mode;
    if (access & kHeldForReading)
        mode += QLatin1Char('r');
    if (access & kHeldForWriting)
        mode += QLatin1Char('w');
    return mode;
}

// The holders of the box, as the listing treats it; a byte that is no valid
// UTF-8 shows as U+FFFD. 0, or -1 when no box is named (the empty path, "/")
// or the scan failed (logged, nothing added).
int listHolders(const std::optional<BoxPath> &box, CBoxHolderList &holders,
                const std::optional<ExistenceIdentity> &identity = std::nullopt)
{
    if (!box) {
        logEmptyScanPath();
        return -1;
    }
    std::vector<HolderRecord> records;
    const CollectedHolders collected = collectHolderRecords(*box, records, identity);
    if (!collected.identityTaken) {
        assert(identity);
        qDebug(DEBUG_IDENTITY_NOT_TAKEN, identity->uid, "holders");
        return -1;
    }
    if (collected.error != 0) {
        logProcUnreadable(collected.error);
        return -1;
    }
    holders.reserve(holders.size() + static_cast<int>(records.size()));
    for (const HolderRecord &record : records) {
        BoxHolderItem item{record.pid,
                           record.startNanoseconds,
                           record.uid,
                           textWithReplacements(record.name),
                           textWithReplacements(record.executable),
                           {}};
        for (const HeldFileRecord &file : record.files)
            item.files.append(BoxHeldFile{textWithReplacements(file.relative), modeText(file.access)});
        holders.append(item);
    }
    return 0;
}

QList<QVariant> holdersReply(int nResult, const CBoxHolderList &holders)
{
    return {nResult, QVariant::fromValue(holders)};
}

// The holders of one bus call, on a worker: the box scope, the scan and the reply.
CallAnswer holdersForCaller(const BusCaller &caller, const QString &strBoxPath)
{
    const CallerAccount account = accountOfCaller(caller);
    // Files and processes are looked at with the caller's own permissions.
    const std::optional<ExistenceIdentity> identity = identityOf(account);
    const std::optional<QByteArray> served = servedPathOf(account, identity, strBoxPath, "get_boxHolders");
    if (!served)
        return {holdersReply(-1, {}), 0};
    CBoxHolderList holders;
    const int nResult = listHolders(BoxPath::of(*served), holders, identity);
    const qint64 bytes = wireSizeOf(holders);
    return {holdersReply(nResult, holders), bytes};
}

// A watch of one bus call, on a worker: the box scope, then the watch,
// started on the thread the watches live on.
CallAnswer watchForCaller(const BusCaller &caller, const QString &strBoxPath, const QString &owner,
                          BoxWatches &watches)
{
    const CallerAccount account = accountOfCaller(caller);
    const std::optional<ExistenceIdentity> identity = identityOf(account);
    const std::optional<QByteArray> served = servedPathOf(account, identity, strBoxPath, "add_boxWatch");
    const std::optional<BoxPath> box = served ? BoxPath::of(*served) : std::nullopt;
    if (!box) {
        if (served)
            logEmptyScanPath();
        return {{-1}, 0};
    }
    int id = -1;
    // The deadline answers on the watches' thread too: a call it answered
    // already starts no watch its caller would never learn the id of.
    const CallGuard *const guard = CallGuard::current();
    QMetaObject::invokeMethod(
        &watches,
        [&] {
            if (!guard || !guard->stopped())
                id = watches.add(owner, account.uid, *box, textWithReplacements(box->bytes()));
        },
        Qt::BlockingQueuedConnection);
    if (id < 0)
        syslog(LOG_INFO, LOG_WATCH_LIMIT, account.uid, escapedForLog(box->bytes()).constData(),
               std::strerror(-id));
    return {{id}, 0};
}

} // namespace

BoxActivityService::BoxActivityService(QObject *parent) : QObject(parent) {}

BoxWatches &BoxActivityService::watches()
{
    if (!m_watches)
        m_watches = new BoxWatches(connection(), QStringLiteral("/activity"),
                                   QStringLiteral("com.tavrin.arkvane.activity"), this);
    return *m_watches;
}

int BoxActivityService::add_boxWatch(const QString &strBoxPath)
{
    // A watch sends its signals to a caller on the bus.
    if (!calledFromDBus())
        return -1;
    const BusCaller caller = busCallerOf(connection(), message());
    const QString owner = message().service();
    BoxWatches *const boxWatches = &watches();
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller, CallQueue::Share::OfCaller, "add_boxWatch",
                                 CallQueue::Effect::Reads, {-1}, [caller, strBoxPath, owner, boxWatches] {
                                     return watchForCaller(caller, strBoxPath, owner, *boxWatches);
                                 });
    return -1;
}

int BoxActivityService::remove_boxWatch(int nWatchId)
{
    if (!calledFromDBus() || !m_watches)
        return -ENOENT;
    return m_watches->remove(message().service(), nWatchId);
}

QString BoxActivityService::get_watchMechanism(int &nLatencyMs)
{
    if (!calledFromDBus()) {
        nLatencyMs = 0;
        return {};
    }
    nLatencyMs = watches().latencyMs();
    return watches().mechanism();
}

int BoxActivityService::get_boxHolders(const QString &strBoxPath, CBoxHolderList &holders)
{
    // A direct call from inside the daemon has no caller to scope.
    if (!calledFromDBus())
        return listHolders(BoxPath::of(strBoxPath.toUtf8()), holders);
    const BusCaller caller = busCallerOf(connection(), message());
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller, CallQueue::Share::OfCaller,
                                 "get_boxHolders", CallQueue::Effect::Reads, holdersReply(-1, {}),
                                 [caller, strBoxPath] { return holdersForCaller(caller, strBoxPath); });
    return -1;
}
