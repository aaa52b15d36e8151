// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

#include <sys/types.h>

// A local account as the daemon sees a caller: the uid the bus daemon
// reports, looked up in the password database. The client builds the same
// for its own effective uid, so both apply the rules below to the same facts.
struct CallerAccount
{
    bool uidKnown = false; // the uid was reported
    bool known = false;    // ... and the password database has an account for it
    uid_t uid = 0;
    gid_t gid = 0;
    QString userName;
    QString home;

    bool isSuperuser() const { return known && uid == 0; }
    QString boxRoot() const { return home + QStringLiteral("/.box"); }
};

// Looks the uid up in the password database; known stays false without an
// entry, or when the entry does not fit in 1 MiB.
CallerAccount accountOfUid(uid_t uid);

// Marking someone else as authenticated, or stretching their interval, would
// defeat the re-authentication, so an account other than the superuser may
// change only the certification of its own user name.
bool mayChangeCertificationOf(const CallerAccount &account, const QString &strUserName);
