// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QList>
#include <QString>

// Appends to pidList the id of every process holding a file below strPath
// (a box path with one "/" appended), judged by the file (see BoxJudge); an
// id already in the list is not added again. 0 when the walk ran to its end,
// -1 when strPath is empty or /proc or the mount table cannot be read (the
// list untouched). pidList is a CBoxPidList; the scan needs no bus type.
int get_allOpenFilePidByPath(const QString &strPath, QList<int> &pidList);
