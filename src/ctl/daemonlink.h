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
