#pragma once

#include "wiretypes.h"

#include <QByteArray>
#include <QString>

#include <sys/types.h>

#include <optional>

// The file-system identity the listing's existence test runs under. A caller
// other than the superuser must not learn, through which files are listed,
// whether a path it could not look at itself exists: a link target can be
// redirected (a directory swapped for a symbolic link) between the read of a
// descriptor and the test.
struct ExistenceIdentity
{
    uid_t uid;
    gid_t gid;
};

// Link-target bytes the listing reads per descriptor.
constexpr int kListingLinkBufferSize = 4096;

// Walks /proc and appends to list every existing file that a descriptor names
// below prefix (byte comparison on the target's first 4096 bytes), once, in
// first-found order; files already in the list are not added again. The
// relative path is the target with the leading prefix removed. An empty
// prefix matches nothing. False when /proc cannot be opened.
bool collectOpenFiles(const QByteArray &prefix, CBoxFileList &list,
                      std::optional<ExistenceIdentity> identity = std::nullopt);

// The listing behind get_allFileStatus: strPath is the match prefix as given.
// 0 when the walk ran to its end, -1 when strPath is empty or /proc cannot be
// opened (nothing added).
int list_openFilesByPath(const QString &strPath, CBoxFileList &list,
                         std::optional<ExistenceIdentity> identity = std::nullopt);
