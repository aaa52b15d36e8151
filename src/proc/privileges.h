// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Writes one debug-log line when the process lacks uid 0 or a capability the
// calls need, naming which calls will therefore fail; nothing when it has all.
void logMissingPrivileges();
