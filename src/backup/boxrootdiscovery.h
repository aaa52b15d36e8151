#pragma once

#include <QStringList>

// "<home>/.box" of every account in the password database whose box root
// exists and is a directory (links followed), in database order.
QStringList boxRootsOfAllAccounts();
