#pragma once

#include "wiretypes.h"

#include <QByteArray>
#include <QString>

// Link-target bytes the listing reads per descriptor.
constexpr int kListingLinkBufferSize = 4096;

// Walks /proc and appends to list every existing file that a descriptor names
// below prefix (byte comparison on the target's first 4096 bytes), once, in
// first-found order; files already in the list are not added again. The
// relative path is the target with the leading prefix removed. An empty
// prefix matches nothing. False when /proc cannot be opened.
bool collectOpenFiles(const QByteArray &prefix, CBoxFileList &list);

// The listing behind get_allFileStatus: strPath is the match prefix as given.
// 0 when the walk ran to its end, -1 when strPath is empty or /proc cannot be
// opened (nothing added).
int list_openFilesByPath(const QString &strPath, CBoxFileList &list);
