#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

class QDBusConnection;
class QDBusMessage;

// The local account behind a bus call, as the bus daemon and the password
// database report it.
struct CallerAccount
{
    bool uidKnown = false; // the bus daemon named the caller's uid
    bool known = false;    // ... and the password database has an account for it
    uid_t uid = 0;
    gid_t gid = 0;
    QString userName;
    QString home;

    bool isSuperuser() const { return known && uid == 0; }
    QString boxRoot() const { return home + QStringLiteral("/.box"); }
};

// The caller's uid as a log line names it: "unknown" when the bus daemon
// could not report it.
QByteArray uidForLog(const CallerAccount &caller);

// Looks the uid up in the password database; known stays false without an entry.
CallerAccount accountOfUid(uid_t uid);

// Asks the bus daemon for the uid of the message's sender, then the password
// database for its account.
CallerAccount callerAccount(const QDBusConnection &connection, const QDBusMessage &message);
