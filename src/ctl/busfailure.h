#pragma once

#include "outcome.h"

#include <QDBusError>

// One line for a call that got no answer from the daemon: unreachable when
// the daemon is not there (not running, not startable, gone mid-call), a
// failure when it or the bus turned the call away.
Outcome describeBusError(const QDBusError &error);

// One line for a system bus that cannot be connected to.
Outcome describeMissingBus(const QDBusError &error);
