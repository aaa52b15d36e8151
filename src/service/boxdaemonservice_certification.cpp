// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonservice.h"

#include "calleraccount.h"
#include "cauthcredservice.h"
#include "logsites.h"
#include "systemlog.h"

#include <QDBusConnection>
#include <QDBusMessage>

#include <syslog.h>

CAuthCredService *BoxDaemonService::certificationEntry(const QString &strUserName)
{
    auto it = m_mapAuthCred.find(strUserName);
    if (it == m_mapAuthCred.end())
        it = m_mapAuthCred.insert(strUserName, new CAuthCredService(strUserName, nullptr));
    return *it;
}

// Calls from inside the process are the daemon's own.
bool BoxDaemonService::mayChangeCertification(const char *function, int site, const QString &strUserName)
{
    if (!calledFromDBus())
        return true;
    const CallerAccount caller = callerAccount(connection(), message());
    if (mayChangeCertificationOf(caller, strUserName))
        return true;
    syslog(LOG_INFO, LOG_CERTIFICATION_NOT_OWN, function, site,
           uidForLog(caller.uidKnown, caller.uid).constData(), escapedForLog(strUserName).constData());
    return false;
}

// The two questions are open to every caller and make no entry: a name never
// set answers as a new entry would, so asking cannot grow the registry.
bool BoxDaemonService::is_certificationRequired(const QString &strUserName)
{
    const auto it = m_mapAuthCred.constFind(strUserName);
    return it == m_mapAuthCred.constEnd() || !(*it)->isPassed();
}

int BoxDaemonService::get_certificationInterval(const QString &strUserName)
{
    const auto it = m_mapAuthCred.constFind(strUserName);
    return it == m_mapAuthCred.constEnd() ? CAuthCredService::kDefaultInterval : (*it)->interval();
}

int BoxDaemonService::set_certificationInterval(const QString &strUserName, int nInterval)
{
    if (!mayChangeCertification("set_certificationInterval", kSiteIntervalNotOwn, strUserName))
        return -1;
    return certificationEntry(strUserName)->set_interval(nInterval);
}

void BoxDaemonService::set_certificationPassed(const QString &strUserName)
{
    if (!mayChangeCertification("set_certificationPassed", kSitePassedNotOwn, strUserName))
        return;
    certificationEntry(strUserName)->set_certificationPassed();
}
