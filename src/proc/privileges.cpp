#include "privileges.h"

#include <QDebug>
#include <QStringList>

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct Need
{
    int capability;
    const char *name;
    const char *failing;
};

const Need kNeeds[] = {
    {CAP_SETUID, "CAP_SETUID", "get_allRunFileList for callers other than root"},
    {CAP_SETGID, "CAP_SETGID", "get_allRunFileList for callers other than root"},
    {CAP_SYS_PTRACE, "CAP_SYS_PTRACE", "get_allRunFileList, kill_allProcessSignal and the wipes"},
    {CAP_DAC_READ_SEARCH, "CAP_DAC_READ_SEARCH", "get_allRunFileList, kill_allProcessSignal and the wipes"},
    {CAP_KILL, "CAP_KILL", "kill_allProcessSignal and the wipes for other users' processes"},
    {CAP_SYS_ADMIN, "CAP_SYS_ADMIN", "the wipes of boxes with mounts inside"},
    {CAP_DAC_OVERRIDE, "CAP_DAC_OVERRIDE", "the wipes"},
    {CAP_FOWNER, "CAP_FOWNER", "the wipes"},
};

} // namespace

void logMissingPrivileges()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    const bool known = syscall(SYS_capget, &header, data) == 0;
    QStringList missing;
    QStringList failing;
    if (geteuid() != 0) {
        missing << QStringLiteral("uid 0");
        failing << QStringLiteral("the wipes");
    }
    for (const Need &need : kNeeds) {
        const bool held = known
            && (data[need.capability / 32].effective & (1u << (need.capability % 32))) != 0;
        if (held)
            continue;
        missing << QLatin1String(need.name);
        if (!failing.contains(QLatin1String(need.failing)))
            failing << QLatin1String(need.failing);
    }
    if (!missing.isEmpty())
        qDebug().noquote() << "running without" << missing.join(QStringLiteral(", "))
                           << "- these calls will fail:" << failing.join(QStringLiteral("; "));
}
