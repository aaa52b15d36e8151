#pragma once

#include "ownaccount.h"

// Why the daemon answered -1 for a box path (never empty: the client checks
// that before calling). The daemon says only -1; its rules tell the reasons
// apart: a box outside the caller's own, a path made only of slashes, and
// otherwise a /proc it could not read.
QString explainScanFailure(const QString &boxPath, const OwnAccount &account);
