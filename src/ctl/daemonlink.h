// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "console.h"
#include "wiretypes.h"

#include <QDBusConnection>
#include <QDBusMessage>

// The daemon's answer to one call, or why there is none.
template <typename T>
struct Answer
{
    Outcome failure; // succeeded() when the daemon answered
    T value{};

    bool answered() const { return failure.succeeded(); }
};

struct FileListing
{
    int result = -1;
    CBoxFileList files;
};

struct HolderListing
{
    int result = -1;
    CBoxHolderList holders;
};

// What a box watch's signals say, kept as they arrive.
class WatchInbox : public QObject
{
    Q_OBJECT
public:
    struct Event
    {
        int watchId = 0;
        bool freed = false; // else the number of holders changed
        int holders = 0;
    };
    QList<Event> events;

Q_SIGNALS:
    void arrived();
    // The daemon's name lost its owner: no signal will come.
    void daemonLeft();

public Q_SLOTS:
    void holdersChanged(int watchId, const QString &boxPath, int holders);
    void freed(int watchId, const QString &boxPath);
    void ownerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);
};

// The calls this client makes on "/logfile" and "/activity". Each answers unreachable when
// there is no system bus. Bus activation stays on: on an installed system
// the first call is what starts the daemon.
class DaemonLink
{
public:
    DaemonLink();

    Answer<FileListing> listOpenFiles(const QString &boxPath) const;
    Answer<HolderListing> listHolders(const QString &boxPath) const;
    Answer<int> endProcesses(const QString &boxPath) const;
    // Starts a watch of the box whose signals go to inbox (connected first, so
    // that none is missed): the watch's id, or what the daemon refused with.
    Answer<int> watchBox(const QString &boxPath, WatchInbox &inbox) const;
    Answer<bool> isCertificationRequired(const QString &userName) const;
    Answer<int> certificationInterval(const QString &userName) const;
    Answer<int> setCertificationInterval(const QString &userName, int seconds) const;
    Outcome recordCertificationPassed(const QString &userName) const;

private:
    QDBusMessage call(const QString &method, const QVariantList &arguments) const;
    QDBusMessage call(const QString &path, const QString &interface, const QString &method,
                      const QVariantList &arguments) const;

    QDBusConnection m_connection;
};
