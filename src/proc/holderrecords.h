// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxpath.h"
#include "fsidentity.h"

#include <QByteArray>

#include <sys/types.h>

#include <optional>
#include <vector>

// How a process holds a file: the union of its descriptors' access modes.
enum HeldAccess : unsigned {
    kHeldForReading = 1u << 0,
    kHeldForWriting = 1u << 1,
};

struct HeldFileRecord
{
    QByteArray relative; // the path inside the box, as the listing gives it
    unsigned access = 0; // HeldAccess bits; none for a descriptor that neither reads nor writes (O_PATH)
};

// One process holding files in a box, as /proc shows it to the caller.
struct HolderRecord
{
    int pid = 0;
    qint64 startNanoseconds = 0; // after boot (CLOCK_BOOTTIME), to the clock tick
    uid_t uid = 0;               // real uid
    QByteArray name;             // comm
    QByteArray executable;       // the exe link's target; empty when the caller could not read it
    std::vector<HeldFileRecord> files;
};

// Appends to records every process holding a file inside the box (judged by
// the file, see BoxJudge), in
// the order /proc lists them, each with the files it holds there, once each,
// in the order found. The files are those collectOpenFiles lists, under the
// same rules: with an identity (a caller other than the superuser) only a
// file the caller could reach by that path itself. Of each process no more
// is given than /proc shows the caller: with an identity, its facts are
// read under the caller's file-system identity and without the daemon's
// CAP_SYS_PTRACE, so a process hidden from the caller (hidepid) is left out
// and the executable of one whose exe link the caller could not read (another
// user's, a non-dumpable one) is left empty. A process that ended before its
// facts were read is left out, and the box is walked again while the files
// it held are named by no record (a descendant may hold them now); each
// record is of a process that lived and held its files when it was read.
// On failure records are as they were.
struct CollectedHolders
{
    int error = 0;             // -errno: /proc or the mount table could not be read
    bool identityTaken = true; // false: the identity could not be taken on, nothing listed
};
CollectedHolders collectHolderRecords(const BoxPath &box, std::vector<HolderRecord> &records,
                                      const std::optional<ExistenceIdentity> &identity = std::nullopt);
