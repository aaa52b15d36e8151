// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "account.h"

struct BusCaller;
class QDBusConnection;
class QDBusMessage;

// The account of the uid the bus daemon reported; none when it could not.
CallerAccount accountOfCaller(const BusCaller &caller);

// Asks the bus daemon for the uid of the message's sender, then the password
// database for its account.
CallerAccount callerAccount(const QDBusConnection &connection, const QDBusMessage &message);
