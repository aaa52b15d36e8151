#pragma once

#include "wiretypes.h"

#include <QString>

// Appends to pidList the id of every process holding a descriptor whose
// target begins with strPath (on the target's first 256 bytes); an id already
// in the list is not added again. 0 when the walk ran to its end, -1 when
// strPath is empty or /proc cannot be opened (the list untouched).
int get_allOpenFilePidByPath(const QString &strPath, CBoxPidList &pidList);
