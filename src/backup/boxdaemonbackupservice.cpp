#include "boxdaemonbackupservice.h"

#include "buscaller.h"
#include "callqueue.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <unistd.h>

BoxDaemonBackupService::BoxDaemonBackupService()
    : QObject(nullptr)
{
}

BoxDaemonBackupService::~BoxDaemonBackupService() = default;

bool BoxDaemonBackupService::admitsCurrentCaller(BusCaller &caller)
{
    if (!calledFromDBus())
        return check_callerPrivilege(nullptr, QString());
    caller = busCallerOf(connection(), message());
    return admitsCaller(caller);
}

int BoxDaemonBackupService::format_boxRootEntry(const QString &boxRoot)
{
    // A direct call (a test, never the bus) comes from this very process.
    const int nCallerPid = calledFromDBus() ? busCallerOf(connection(), message()).pid
                                            : static_cast<int>(getpid());
    return format_boxRootEntry(boxRoot, nCallerPid);
}

void BoxDaemonBackupService::wipeOffTheBusThread(const BusCaller &caller, const char *function,
                                                 std::function<int()> wipe)
{
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller,
                                 CallQueue::Share::OfBackupTool, function, {-1}, [wipe] { return CallAnswer{{wipe()}, 0}; });
}
