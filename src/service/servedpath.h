// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "account.h"
#include "fsidentity.h"

#include <QByteArray>
#include <QString>

#include <optional>

// What the box calls of every object share: whose eyes a caller's paths are
// looked at with, and which box path a call is served for.

// The identity under which the caller's paths are looked at: none for the
// superuser, the caller's own for any other account.
std::optional<ExistenceIdentity> identityOf(const CallerAccount &account);

// The box path of one call, resolved as the caller's file system sees it,
// when the caller may act on it; nothing, with its line logged, when not.
// The resolution runs under the caller's identity (root's for the
// superuser), never as root through a user's links, and within the bound of
// a box-root look-up: a link into a file system that stopped answering
// holds only a thread of its own, and the same path is refused at once
// while that look-up is stuck. The empty path is left to the scan, which
// fails it for every caller with its own message and touches nothing.
// function names the bus method in the refusal lines.
std::optional<QByteArray> servedPathOf(const CallerAccount &account,
                                       const std::optional<ExistenceIdentity> &identity,
                                       const QString &strBoxPath, const char *function);
