// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxactivityservice.h"

#include "boxpath.h"
#include "buscaller.h"
#include "calleraccount.h"
#include "callqueue.h"
#include "holderrecords.h"
#include "logsites.h"
#include "scanmessages.h"
#include "servedpath.h"
#include "utf8text.h"

#include <QDebug>

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

} // namespace

BoxActivityService::BoxActivityService(QObject *parent) : QObject(parent) {}

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
