// SPDX-License-Identifier: GPL-2.0-or-later
#include "openfilelist.h"

#include "boxjudge.h"
#include "bytestringset.h"
#include "logsites.h"
#include "mounttable.h"
#include "procwalk.h"
#include "scanengine.h"

#include <QDebug>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cassert>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string_view bytesOf(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

struct Candidate
{
    QByteArray relative;
    bool statted = false;
    dev_t device = 0;
    ino_t inode = 0;
};

bool isSameFileAt(const BoxPath &box, const Candidate &candidate)
{
    HeldDescriptor held;
    held.statted = candidate.statted;
    held.device = candidate.device;
    held.inode = candidate.inode;
    return isHeldFileAt(box, candidate.relative, held);
}

// Collects the held files of the box, each once (by the bytes of its path
// inside the box); memory grows with what is listed, not with what is passed
// over.
class ListingVisitor : public DescriptorVisitor
{
public:
    explicit ListingVisitor(const BoxPath &box) : m_box(box) {}

    bool wants(int) const override { return true; }

    bool judged(int pid, int, const HeldDescriptor &held, const Judgement &judgement) override
    {
        if (judgement.verdict == Verdict::Unjudged || judgement.boxRelative.isEmpty()) {
            noteFailure(pid);
            return true;
        }
        if (judgement.deleted)
            return true;
        take(Candidate{judgement.boxRelative, held.statted, held.device, held.inode});
        return true;
    }

    void unreadable(int pid) override { noteFailure(pid); }

    const std::vector<Candidate> &candidates() const { return m_candidates; }
    const std::vector<int> &failures() const { return m_failures; }

private:
    void take(Candidate candidate)
    {
        if (m_listed.contains(bytesOf(candidate.relative)))
            return;
        // A name that only reads like the kernel's mark of a deleted one is
        // told apart by the file it leads to; a held file whose link count is
        // unknown (its file system refuses the daemon) and that reads so is
        // taken as gone.
        if (candidate.relative.endsWith(kDeletedSuffix)
            && (!candidate.statted || !isSameFileAt(m_box, candidate)))
            return;
        m_listed.insert(bytesOf(candidate.relative));
        m_candidates.push_back(std::move(candidate));
    }

    void noteFailure(int pid)
    {
        if (m_failures.empty() || m_failures.back() != pid)
            m_failures.push_back(pid);
    }

    const BoxPath &m_box;
    ByteStringSet m_listed;
    std::vector<Candidate> m_candidates;
    std::vector<int> m_failures;
};

} // namespace

bool isHeldFileAt(const BoxPath &box, const QByteArray &relative, const HeldDescriptor &held)
{
    const QByteArray path = joinedPath(box.bytes(), relative);
    struct statx sx = {};
    if (statNode(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW, sx) != 0)
        return false;
    return !held.statted
           || (makedev(sx.stx_dev_major, sx.stx_dev_minor) == held.device && sx.stx_ino == held.inode);
}

CollectedFiles collectOpenFiles(const BoxPath &box, std::vector<QByteArray> &relatives,
                                const std::optional<ExistenceIdentity> &identity)
{
    ListingVisitor visitor(box);
    // One read of the mount table serves either engine.
    MountTable mounts;
    if (const int error = mounts.read(AT_FDCWD, "/proc/self/mountinfo"))
        return {error, true};
    if (const int error = scanHeldFiles(ScannedBox(box, mounts), visitor))
        return {error, true};
    if (!visitor.failures().empty()) {
        // A listing changes nothing: what cannot be placed (a file deeper than
        // the kernel prints, on a mount no table names) is left out rather
        // than let one user's files deny every listing.
        qDebug(DEBUG_LEFT_OUT_FILES, processesForLog(visitor.failures()).constData());
    }

    if (identity) {
        // The caller's own view of each path, all under one switch.
        const ScopedFileSystemIdentity as(*identity);
        if (!as.tookEffect())
            return {0, false};
        for (const Candidate &candidate : visitor.candidates()) {
            if (isSameFileAt(box, candidate))
                relatives.push_back(candidate.relative);
        }
    } else {
        for (const Candidate &candidate : visitor.candidates())
            relatives.push_back(candidate.relative);
    }
    return {};
}
