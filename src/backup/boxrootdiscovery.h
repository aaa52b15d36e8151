// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QStringList>

// "<home>/.box" of every account in the password database whose box root
// exists and is a directory (links followed), in database order. An entry
// whose look-up does not answer in time is left out, with a log line.
QStringList boxRootsOfAllAccounts();
