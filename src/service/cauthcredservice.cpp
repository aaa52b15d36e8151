// SPDX-License-Identifier: GPL-2.0-or-later
#include "cauthcredservice.h"

#include "boottimeclock.h"
#include "logsites.h"

#include <QDebug>
#include <QMutexLocker>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace {

// The text as QDebug writes a string: in double quotes, with escapes.
QString quotedForDebug(const QString &text)
{
    QString quoted;
    QDebug(&quoted).nospace() << text;
    return quoted;
}

// One tick more than before, or the whole seconds that really went by since
// the pass if that is more: a missed tick (suspend, a long call) still counts.
qint32 countAfterTick(qint32 nTimer, qint64 nsSincePass)
{
    const qint64 nSeconds = nsSincePass > 0 ? nsSincePass / 1000000000 : 0;
    const qint64 nNext = std::max<qint64>(qint64(nTimer) + 1, nSeconds);
    return qint32(std::min<qint64>(nNext, std::numeric_limits<qint32>::max()));
}

} // namespace

CAuthCredService::CAuthCredService(const QString &strUserName, QObject *parent)
    : QObject(parent), m_pTimer(new QTimer(this)), m_strUserName(strUserName)
{
    connect(m_pTimer, SIGNAL(timeout()), this, SLOT(handleTimeOut()));
    m_pTimer->start(1000);
}

CAuthCredService::~CAuthCredService() = default;

void CAuthCredService::set_certificationPassed()
{
    // The clock is read outside the lock: the lock never spans a call out.
    const qint64 nNow = bootTimeNanoseconds();
    QMutexLocker locker(&m_mutex);
    m_bPassed = 1;
    m_nTimer = 0;
    m_nPassedAtNs = nNow;
}

int CAuthCredService::set_interval(int nInterval)
{
    QMutexLocker locker(&m_mutex);
    m_nInterval = nInterval;
    return 0;
}

void CAuthCredService::handleTimeOut()
{
    qDebug(DEBUG_CERTIFICATION_TICK, qUtf8Printable(quotedForDebug(m_strUserName)), m_nTimer);
    // Only a running pass needs the time; most entries wait in Required.
    const qint64 nNow = m_bPassed ? bootTimeNanoseconds() : 0;
    QMutexLocker locker(&m_mutex);
    if (!m_bPassed)
        return;
    m_nTimer = countAfterTick(m_nTimer, nNow - m_nPassedAtNs);
    if (m_nTimer >= m_nInterval)
        m_bPassed = 0;
}
