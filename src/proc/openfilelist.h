// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxjudge.h"
#include "boxpath.h"
#include "fsidentity.h"

#include <QByteArray>

#include <optional>
#include <vector>

// Appends to relatives the path inside the box of every file held inside the
// box (judged by the file, see BoxJudge)
// that still exists (its descriptor has links left), once, in first-found
// order. With an identity (a caller other than the superuser), a file is
// listed only when the caller could reach it by that path itself: a caller
// must not learn through the list whether a path it could not look at
// exists. A held file that cannot be placed or named is left out, its holder
// named in one debug line. On failure relatives are as they were.
struct CollectedFiles
{
    int error = 0;             // -errno: /proc or the mount table could not be read
    bool identityTaken = true; // false: the identity could not be taken on, nothing listed
};
// Whether the file at the box path plus relative is the held one, as the
// calling thread's file-system identity reaches it by that path: the very
// file (device and inode) when held was statted, else any file there.
bool isHeldFileAt(const BoxPath &box, const QByteArray &relative, const HeldDescriptor &held);

CollectedFiles collectOpenFiles(const BoxPath &box, std::vector<QByteArray> &relatives,
                                const std::optional<ExistenceIdentity> &identity = std::nullopt);
