#pragma once

#include "fsidentity.h"
#include "wiretypes.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Link-target bytes the listing reads per descriptor.
constexpr int kListingLinkBufferSize = 4096;

// Walks /proc and appends to list every file held inside the box that prefix
// names (the box path with one "/" appended; judged by the file, see
// BoxJudge) and that still exists (its descriptor has links left), once, in
// first-found order; files already in the list are not added again. The full
// path is the box path and the path inside it; a byte that is no valid UTF-8
// shows as U+FFFD. With an identity (a caller other than the superuser), a
// file is listed only when the caller could reach it by that path itself:
// a caller must not learn through the list whether a path it could not look
// at exists. An empty prefix matches nothing. A held file that cannot be
// placed or named is left out, its holder named in one debug line.
// ProcUnreadable when /proc or the mount table cannot be read; Refused when
// the identity could not be taken on (logged); the list is then left as it
// was.
enum class ListingOutcome { Done, ProcUnreadable, Refused };
ListingOutcome collectOpenFiles(const QByteArray &prefix, CBoxFileList &list,
                                const std::optional<ExistenceIdentity> &identity = std::nullopt);

// The listing behind get_allFileStatus: strPath is the match prefix as given.
// 0 when the walk ran to its end, -1 when strPath is empty or the listing
// failed as above (nothing added).
int list_openFilesByPath(const QString &strPath, CBoxFileList &list,
                         const std::optional<ExistenceIdentity> &identity = std::nullopt);
