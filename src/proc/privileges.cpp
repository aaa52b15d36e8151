// SPDX-License-Identifier: GPL-2.0-or-later
#include "privileges.h"

#include "capabilities.h"
#include "logsites.h"

#include <QDebug>
#include <QStringList>

#include <linux/capability.h>
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
    QStringList missing;
    QStringList failing;
    if (geteuid() != 0) {
        missing << QStringLiteral("uid 0");
        failing << QStringLiteral("the wipes");
    }
    for (const Need &need : kNeeds) {
        if (hasEffectiveCapability(need.capability))
            continue;
        missing << QLatin1String(need.name);
        if (!failing.contains(QLatin1String(need.failing)))
            failing << QLatin1String(need.failing);
    }
    if (!missing.isEmpty())
        qDebug(DEBUG_RUNNING_WITHOUT, qUtf8Printable(missing.join(QStringLiteral(", "))),
               qUtf8Printable(failing.join(QStringLiteral("; "))));
}
