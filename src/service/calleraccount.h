#pragma once

#include "account.h"

#include <QByteArray>

class QDBusConnection;
class QDBusMessage;

// The caller's uid as a log line names it: "unknown" when the bus daemon
// could not report it.
QByteArray uidForLog(const CallerAccount &caller);

// Asks the bus daemon for the uid of the message's sender, then the password
// database for its account.
CallerAccount callerAccount(const QDBusConnection &connection, const QDBusMessage &message);
