// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QMutex>
#include <QObject>
#include <QString>

class QTimer;

// The re-authentication timer of one user name: counts the seconds since the
// user's last passed authentication and marks when one is required again.
// It authenticates nobody; the box tools report passes and ask for the state.
class CAuthCredService : public QObject
{
    Q_OBJECT
public:
    // What a user name answers before anything was set for it.
    static constexpr qint32 kDefaultInterval = 600;

    CAuthCredService(const QString &strUserName, QObject *parent = nullptr);
    ~CAuthCredService() override;

    // A passed authentication: the state becomes Passed and the count starts again.
    void set_certificationPassed();
    // Stored as given, 0 and negative values too; the running count stays.
    int set_interval(int nInterval);

    // Plain reads without the lock: every caller runs on the thread that reads
    // the bus, which also runs the timers.
    bool isPassed() const { return m_bPassed != 0; }
    qint32 interval() const { return m_nInterval; }
    qint32 ticksSincePass() const { return m_nTimer; }

public Q_SLOTS:
    void handleTimeOut();

private:
    QTimer *m_pTimer;
    qint32 m_nInterval = kDefaultInterval;
    qint32 m_bPassed = 0;
    qint32 m_nTimer = 0;
    QMutex m_mutex;
    QString m_strUserName;
    // Start of the running pass on the boot-time clock. A tick counts at least
    // the real seconds since then, so neither a suspend nor a blocked event
    // loop can stretch a pass.
    qint64 m_nPassedAtNs = 0;
};
