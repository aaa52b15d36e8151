// SPDX-License-Identifier: GPL-2.0-or-later
#include "holderrecords.h"

#include "boxjudge.h"
#include "direntries.h"
#include "mounttable.h"
#include "openfilelist.h"
#include "ownedfd.h"
#include "pathtext.h"
#include "procstat.h"
#include "procwalk.h"
#include "statnode.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <unordered_set>

namespace {

// The whole of a small /proc file below dirFd, or nothing.
std::optional<QByteArray> procFileIn(int dirFd, const char *name)
{
    const OwnedFd file(openat(dirFd, name, O_RDONLY | O_CLOEXEC));
    if (!file)
        return std::nullopt;
    char text[4096];
    const ssize_t length = read(file.get(), text, sizeof text);
    if (length < 0)
        return std::nullopt;
    return QByteArray(text, static_cast<int>(length));
}

// The real uid of the "Uid:" line of a status file.
std::optional<uid_t> realUidOf(const QByteArray &status)
{
    const int at = status.indexOf("\nUid:");
    if (at < 0)
        return std::nullopt;
    char *end = nullptr;
    const unsigned long uid = std::strtoul(status.constData() + at + 5, &end, 10);
    if (end == status.constData() + at + 5)
        return std::nullopt;
    return static_cast<uid_t>(uid);
}

qint64 nanosecondsOfTicks(unsigned long long ticks)
{
    static const unsigned long long perSecond = static_cast<unsigned long long>(sysconf(_SC_CLK_TCK));
    constexpr unsigned long long kNano = 1000000000ull;
    return static_cast<qint64>(ticks / perSecond * kNano + ticks % perSecond * kNano / perSecond);
}

// Calls visit with each thread's directory below procDir, as "task/<tid>".
template <typename Visit>
void forEachThread(int procDir, Visit visit)
{
    const OwnedFd threads(openat(procDir, "task", kDirOpenFlags));
    if (!threads)
        return;
    std::unique_ptr<char[]> names(new char[kDirEntriesBufferSize]);
    DirEntries entries(threads.get(), names.get(), kDirEntriesBufferSize);
    while (const char *thread = entries.next()) {
        char path[NAME_MAX + 16];
        formatFitting(path, sizeof path, "task/%s", thread);
        visit(path);
    }
}
// The exe link's target of the process whose /proc directory procDir is,
// empty when the calling thread's identity may not read it; nothing when
// the process is ending (no thread has its memory left). A leader that has
// exited while its threads live has no link of its own: a thread's serves.
std::optional<QByteArray> executableOf(int procDir)
{
    char target[kHolderLinkBufferSize];
    ssize_t length = readlinkat(procDir, "exe", target, sizeof target);
    int error = length < 0 ? errno : 0;
    if (length < 0 && hasEnded(error)) {
        forEachThread(procDir, [&](const char *thread) {
            if (length >= 0 || !hasEnded(error))
                return;
            char path[NAME_MAX + 16];
            formatFitting(path, sizeof path, "%s/exe", thread);
            length = readlinkat(procDir, path, target, sizeof target);
            error = length < 0 ? errno : 0;
        });
    }
    if (length < 0 && hasEnded(error))
        return std::nullopt;
    return length > 0 ? QByteArray(target, static_cast<int>(length)) : QByteArray();
}

// The facts of the process whose /proc directory procDir is, read with the
// calling thread's identity; false when that identity may not read them or
// the process has ended.
bool readFacts(int procDir, HolderRecord &record)
{
    ProcStat stat;
    const bool statRead = procStatIn(procDir, stat) == 0;
    const std::optional<QByteArray> status = statRead ? procFileIn(procDir, "status") : std::nullopt;
    const std::optional<uid_t> uid = status ? realUidOf(*status) : std::nullopt;
    std::optional<QByteArray> name = uid ? procFileIn(procDir, "comm") : std::nullopt;
    if (!name)
        return false;
    if (name->endsWith('\n'))
        name->chop(1);
    record.startNanoseconds = nanosecondsOfTicks(stat.startTicks);
    record.uid = *uid;
    record.name = *name;
    std::optional<QByteArray> executable = executableOf(procDir);
    if (!executable)
        return false;
    record.executable = *executable;
    return true;
}

// The access of each link text in a descriptor directory, from the modes
// the kernel gives the links (read and write bits of the owner as the
// descriptor was opened), joined over descriptors of the same text. A text
// too long to read is keyed by the empty text.
void addAccessOf(int dirFd, const char *fdDirPath, char *buffer, std::map<QByteArray, unsigned> &access)
{
    // Opened anew: a walk may be listing the same directory through its own
    // descriptor, whose position this listing must not move.
    const OwnedFd fdDir(openat(dirFd, fdDirPath, kDirOpenFlags));
    if (!fdDir)
        return;
    DirEntries descriptors(fdDir.get(), buffer, kDirEntriesBufferSize, true);
    char target[kHolderLinkBufferSize];
    while (const char *name = descriptors.next()) {
        const ssize_t length = readlinkat(fdDir.get(), name, target, sizeof target);
        struct stat link = {};
        if ((length < 0 && hasEnded(errno)) || fstatat(fdDir.get(), name, &link, AT_SYMLINK_NOFOLLOW) != 0)
            continue; // closed meanwhile
        unsigned &bits = access[length > 0 ? QByteArray(target, static_cast<int>(length)) : QByteArray()];
        bits |= ((link.st_mode & S_IRUSR) ? kHeldForReading : 0u)
                | ((link.st_mode & S_IWUSR) ? kHeldForWriting : 0u);
    }
}

// Processes whose facts a walk holds read ahead at most (each with a
// descriptor open): bounds what a flood of new processes costs.
constexpr std::size_t kReadAheadLimit = 4096;

// Gathers each holder's Inside descriptors as the walk hands them over,
// process by process, and turns a holder into a record once the walk has
// moved past it: besides the processes read ahead (kReadAheadLimit), one
// holder's /proc directory is open at a time.
class RecordingVisitor : public DescriptorVisitor
{
public:
    // lost: a file of each holder that ended before its facts were read, in
    // this walk or an earlier one.
    // processes: those the first walk listed, which it adds to; a later
    // walk reads the facts of every other process ahead, as /proc lists it
    // (a process made during the call may live for less than its reading).
    RecordingVisitor(const BoxPath &box, const std::optional<ExistenceIdentity> &identity,
                     std::vector<HolderRecord> &records, std::unordered_set<int> &processes, bool firstWalk,
                     std::vector<QByteArray> &lost)
        : m_box(box), m_identity(identity), m_records(records), m_processes(processes),
          m_firstWalk(firstWalk), m_lost(lost), m_buffer(new char[kDirEntriesBufferSize])
    {
    }

    bool wants(int pid) const override
    {
        // The visitor is not const: wants() is const for the walk's sake only.
        auto &self = const_cast<RecordingVisitor &>(*this);
        if (m_firstWalk)
            m_processes.insert(pid);
        else if (m_identityTaken && !m_processes.count(pid) && m_ahead.size() < kReadAheadLimit)
            self.readAhead(pid);
        return m_identityTaken;
    }

    bool judged(int pid, int fdDir, const HeldDescriptor &held, const Judgement &judgement) override
    {
        // The listing's rules: an unplaced, unnamed or deleted file is not listed.
        if (!m_identityTaken || judgement.verdict != Verdict::Inside || judgement.boxRelative.isEmpty()
            || judgement.deleted)
            return m_identityTaken;
        if (pid != m_pid) {
            finish();
            begin(pid, fdDir, judgement.boxRelative);
        }
        if (!m_current.procDir)
            return false; // hidden from the caller, or ended
        // A descriptor closed since the walk read it (or by a holder that has
        // ended since) holds nothing any more.
        const std::optional<unsigned> access =
            accessOf(held.length > 0 ? QByteArray(held.text, held.length) : QByteArray());
        if (!access)
            return true;
        for (Held &known : m_held) {
            if (known.file.relative == judgement.boxRelative) {
                known.file.access |= *access;
                return true;
            }
        }
        m_held.push_back(Held{{judgement.boxRelative, *access}, held});
        m_held.back().descriptor.text = nullptr;
        return true;
    }

    void unreadable(int) override {}

    // Out of descriptors: the facts read ahead go (their processes are read
    // as any other when the walk reaches them).
    bool freeDescriptors() override
    {
        const bool any = !m_ahead.empty();
        m_ahead.clear();
        return any;
    }

    // The holder last handed over, once the walk has moved past it, as a
    // record of the files the caller could look at itself.
    void finish()
    {
        std::vector<Held> held = std::move(m_held);
        m_held.clear();
        const OwnedFd procDir = std::move(m_current.procDir);
        if (!procDir || held.empty())
            return;
        // A name that only reads like the kernel's mark of a deleted one is
        // told apart by the file it leads to, as the listing does.
        std::vector<Held> named;
        for (Held &one : held) {
            if (!one.file.relative.endsWith(kDeletedSuffix)
                || (one.descriptor.statted && isHeldFileAt(m_box, one.file.relative, one.descriptor)))
                named.push_back(std::move(one));
        }
        if (m_identity) {
            const ScopedFileSystemIdentity as(*m_identity);
            if (!as.tookEffect()) {
                m_identityTaken = false;
                return;
            }
            for (Held &one : named) {
                if (isHeldFileAt(m_box, one.file.relative, one.descriptor))
                    m_current.record.files.push_back(std::move(one.file));
            }
        } else {
            for (Held &one : named)
                m_current.record.files.push_back(std::move(one.file));
        }
        if (!m_current.record.files.empty())
            m_records.push_back(std::move(m_current.record));
    }

    bool identityTaken() const { return m_identityTaken; }
    // Whether every file that a holder ending before its facts were read
    // held, in this walk or an earlier one, is named by a record (of a
    // descendant that holds it now).
    bool namesWhatEndedHolders(const std::vector<HolderRecord> &records) const
    {
        for (const QByteArray &lost : m_lost) {
            bool named = false;
            for (std::size_t i = 0; i < records.size() && !named; ++i) {
                for (const HeldFileRecord &file : records[i].files)
                    named = named || file.relative == lost;
            }
            if (!named)
                return false;
        }
        return true;
    }

private:
    // What is read of a holder besides its descriptors inside.
    struct Facts
    {
        OwnedFd procDir;
        HolderRecord record;
        std::map<QByteArray, unsigned> access; // see addAccessOf
    };

    // A holder's facts are read at its first descriptor inside, while it
    // most likely still lives (a holder that forks and ends without pause
    // is seen by its descendants' reading); as the caller would read them.
    void begin(int pid, int fdDir, const QByteArray &firstHeld)
    {
        m_pid = pid;
        m_threadsRead = false;
        const auto ahead = m_ahead.find(pid);
        if (ahead != m_ahead.end()) {
            m_current = std::move(ahead->second);
            m_ahead.erase(ahead);
            return;
        }
        m_current = Facts();
        m_current.procDir = OwnedFd(openat(fdDir, "..", kDirOpenFlags));
        if (!m_current.procDir) {
            if (hasEnded(errno))
                m_lost.push_back(firstHeld);
            return;
        }
        if (!readFactsOf(pid, m_current))
            dropEnding(firstHeld);
    }

    // The facts of a process made since the first walk, read before the walk
    // reads its descriptors; kept only when it could be read as a holder.
    void readAhead(int pid)
    {
        char name[16];
        formatFitting(name, sizeof name, "/proc/%d", pid);
        Facts facts;
        facts.procDir = OwnedFd(open(name, kDirOpenFlags));
        if (facts.procDir && readFactsOf(pid, facts))
            m_ahead[pid] = std::move(facts);
    }

    // Reads the facts of the process whose /proc directory facts.procDir is,
    // with the caller's eyes, and its descriptors' access; false when the
    // caller may not see it or it has ended.
    bool readFactsOf(int pid, Facts &facts)
    {
        facts.record = HolderRecord();
        facts.record.pid = pid;
        bool read = false;
        if (m_identity) {
            const ScopedFileSystemIdentity as(*m_identity);
            const ScopedWithoutCapability unprivileged(CAP_SYS_PTRACE);
            if (!as.tookEffect() || !unprivileged.tookEffect())
                m_identityTaken = false;
            else
                read = readFacts(facts.procDir.get(), facts.record);
        } else {
            read = readFacts(facts.procDir.get(), facts.record);
        }
        if (read)
            addAccessOf(facts.procDir.get(), "fd", m_buffer.get(), facts.access);
        if (read && facts.access.empty()) // a leader that has exited has no table
            addThreadsAccessOf(facts.procDir.get(), facts.access);
        return read && !facts.access.empty();
    }

    // Leaves the holder out; its file noted when it is ending (its memory gone: no
    // exe link even for the daemon, see executableOf), not merely hidden from the caller,
    // since its descendants may hold its files now.
    void dropEnding(const QByteArray &firstHeld)
    {
        if (!executableOf(m_current.procDir.get()))
            m_lost.push_back(firstHeld);
        m_current.procDir = OwnedFd();
    }

    struct Held
    {
        HeldFileRecord file;
        HeldDescriptor descriptor; // its identity, for the checks of the path
    };

    void addThreadsAccessOf(int procDir, std::map<QByteArray, unsigned> &access)
    {
        forEachThread(procDir, [&](const char *thread) {
            char path[NAME_MAX + 16];
            formatFitting(path, sizeof path, "%s/fd", thread);
            addAccessOf(procDir, path, m_buffer.get(), access);
        });
    }

    // A descriptor of a thread with a table of its own is not in the
    // leader's: the tables of the threads are read once for such a holder.
    std::optional<unsigned> accessOf(const QByteArray &text)
    {
        auto found = m_current.access.find(text);
        if (found == m_current.access.end() && !m_threadsRead) {
            m_threadsRead = true;
            addThreadsAccessOf(m_current.procDir.get(), m_current.access);
            found = m_current.access.find(text);
        }
        if (found == m_current.access.end())
            return std::nullopt;
        return found->second;
    }

    const BoxPath &m_box;
    const std::optional<ExistenceIdentity> &m_identity;
    std::vector<HolderRecord> &m_records;
    std::unordered_set<int> &m_processes;
    bool m_firstWalk;
    std::vector<QByteArray> &m_lost;
    std::unique_ptr<char[]> m_buffer;
    bool m_identityTaken = true;
    std::map<int, Facts> m_ahead;
    int m_pid = 0;
    Facts m_current;
    std::vector<Held> m_held;
    bool m_threadsRead = false;
};

} // namespace

// Walks of the box a call makes at most, while holders end before their
// facts are read and their files are named by no record: a holder that
// forks and ends without pause is named by a descendant in one of them (its
// processes may each live for less than their reading); a holder that ended
// for good costs the call all of them.
constexpr int kWalks = 16;

CollectedHolders collectHolderRecords(const BoxPath &box, std::vector<HolderRecord> &records,
                                      const std::optional<ExistenceIdentity> &identity)
{
    MountTable mounts;
    if (const int error = mounts.read(AT_FDCWD, "/proc/self/mountinfo"))
        return {error, true};
    const ScannedBox scanned(box, mounts);
    std::vector<HolderRecord> answer;
    std::unordered_set<int> processes;
    std::vector<QByteArray> lost;
    for (int walk = 0; walk < kWalks; ++walk) {
        std::vector<HolderRecord> found;
        RecordingVisitor visitor(box, identity, found, processes, walk == 0, lost);
        BoxJudge judge(scanned);
        // A walk that processes outran still names what it read.
        if (const int error = walkBoxDescriptors(judge, visitor); error != 0 && error != -EAGAIN)
            return {error, true};
        visitor.finish();
        if (!visitor.identityTaken())
            return {0, false};
        // Short of a complete walk, the last that named any holder.
        if (!found.empty() || walk == 0)
            answer = std::move(found);
        if (visitor.namesWhatEndedHolders(answer))
            break;
    }
    records.insert(records.end(), std::make_move_iterator(answer.begin()),
                   std::make_move_iterator(answer.end()));
    return {};
}
