// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxpath.h"
#include "mounttable.h"
#include "statnode.h"

#include <QByteArray>

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_set>
#include <utility>
#include <vector>

class CallGuard;

// Who holds a file in a box is judged by the file a descriptor refers to,
// never by the text of its path alone. The model:
//
// - The box anchors: the box directory as the daemon's own mount namespace
//   sees it, and the root of every mount of that namespace lying below it,
//   each as (device, path inside its file system, path inside the box). They
//   come from the mount table alone: nothing in the box is looked at.
// - A descriptor lies in the box when its file, walked up within its own file
//   system, reaches an anchor: the box directory itself does not count, the
//   root of a mount below it does. Its path inside the box is the anchor's
//   plus the components below it. Its mount (statx through the descriptor,
//   or fdinfo) and the holder's namespace's table turn the kernel's text into
//   the path inside that mount's file system, so the same file reached
//   through a bind mount or from another namespace counts, and a look-alike
//   on another file system does not.
// - Link text is only a fast filter: in each namespace the anchors show
//   under a few path prefixes, and a descriptor whose text begins with none
//   of them is not looked at further.
// - A descriptor whose text cannot place it (a path longer than the kernel
//   prints, a mount no table names on an anchor's device) is placed by its
//   file's identity: inside when its device and inode are found in the box's
//   own tree (BoxTreeIdentities), outside when a whole walk of that tree does
//   not find them. A file with no link left cannot be found by any walk: it
//   is Unjudged, as is everything the walk could not settle, never Outside.

// What the kernel appends to the name of a file whose last link is gone; a
// real name may end the same way.
constexpr char kDeletedSuffix[] = " (deleted)";

// One anchor of a box, as the daemon's own mount table gives it: the box
// directory on the mount its path lies on, or the root of a mount below it.
struct BoxAnchor
{
    const MountEntry *mount;
    QByteArray fsPath;      // the directory's path inside its file system
    QByteArray boxRelative; // its path inside the box; empty for the box itself
};

// The box directory, then the root of every mount below it (those a later
// mount covers too: their files are the box's as well while they are held),
// in the table's order; from the table alone, nothing in the box is looked
// at. None when the box path is not in the only form the kernel prints or no
// mount holds it: such a box holds nothing.
std::vector<BoxAnchor> boxAnchorsOf(const BoxPath &box, const MountTable &table);

// One box in the daemon's own mount table (read once by the caller): what a
// scan by either engine starts from, made once per call, and shared by every
// round of a kill.
struct ScannedBox
{
    ScannedBox(BoxPath path, const MountTable &table)
        : box(std::move(path)), mounts(table), anchors(boxAnchorsOf(box, table))
    {
    }
    const BoxPath box;
    const MountTable &mounts;       // the caller's, which outlives the scan
    std::vector<BoxAnchor> anchors; // they point into mounts
};

// What the kernel says of one held descriptor.
struct HeldDescriptor
{
    const char *text = nullptr; // link text, not terminated
    int length = -1;            // < 0: unreadable, error says why
    int error = 0;
    bool gone = false;    // closed, or its process ended, before it was statted
    bool statted = false; // the fields below are known
    int mountId = -1;     // -1: unknown
    dev_t device = 0;
    ino_t inode = 0;
    mode_t mode = 0;
    nlink_t links = 1;
};

enum class Verdict { Outside, Inside, Unjudged };

// Whether a lookup on a file system of this type may wait indefinitely for a
// server or a user-space process.
bool fileSystemMayStall(const QByteArray &type);

// The identity (device and inode, as stat reports them) of every entry of a
// box's own tree, for placing descriptors whose text cannot place them. The
// tree is walked once, on the first lookup (by whichever thread asks first;
// the others wait for it): from each anchor (the box directory, the root of
// each mount below it) on that anchor's own mount, through descriptors,
// never following a link nor entering another mount. What the walk could
// not see leaves the answer Unknown for its device (a root that may stall or
// is covered by a later mount is not walked; a directory a mount covers
// cannot be seen into), or for every device when the walk was cut short (the
// call's answer, no descriptors left).
class BoxTreeIdentities
{
public:
    struct Root
    {
        QByteArray boxRelative;    // empty for the box directory itself
        int mountId = 0;           // the mount it must be on
        dev_t device = 0;          // that mount's, from the table
        QByteArray type;           // that mount's file-system type
        bool countsItself = false; // the directory itself is inside (a mount's root)
    };
    enum class Found { Inside, Outside, Unknown };

    // guard: the call the walk serves; it stops once that call is answered.
    BoxTreeIdentities(const BoxPath &box, std::vector<Root> roots, CallGuard *guard);

    // Walks the tree on the first call.
    Found find(dev_t device, ino_t inode);

private:
    struct Identity
    {
        dev_t device;
        ino_t inode;
        bool operator==(const Identity &other) const
        {
            return device == other.device && inode == other.inode;
        }
    };
    struct IdentityHash
    {
        std::size_t operator()(const Identity &identity) const
        {
            return std::hash<unsigned long long>()(identity.inode * 1000003ULL ^ identity.device);
        }
    };

    void walk();
    void walkRoot(const Root &root, char *buffer);
    void notWalked(const Root &root);
    bool readDirectory(int dirFd, dev_t device, char *buffer, std::vector<QByteArray> &subdirectories);
    void record(const struct statx &sx);
    bool stopped();

    std::mutex m_lock;
    bool m_walked = false;   // guarded by m_lock, as everything below
    bool m_cutShort = false; // every device is uncertain
    std::set<dev_t> m_uncertain;
    std::unordered_set<Identity, IdentityHash> m_identities;
    BoxPath m_box;
    std::vector<Root> m_roots;
    CallGuard *m_guard;
    unsigned m_steps = 0;
};

struct Judgement
{
    Verdict verdict = Verdict::Outside;
    QByteArray boxRelative; // Inside: the path inside the box (empty: no name)
    bool deleted = false;   // Inside: no link to the file is left
};

// How the box shows in one mount namespace: its table and the text prefixes
// under which the anchors appear there.
struct NamespaceView
{
    struct Prefix
    {
        QByteArray text;
        bool includesItself = false; // the directory at text is itself inside
    };
    bool own = false;
    bool tableRead = false;
    MountTable table;
    std::vector<Prefix> prefixes;
};

class BoxJudge
{
public:
    explicit BoxJudge(const ScannedBox &scanned);
    const QByteArray &boxPath() const { return m_boxPath; }

    // A judge of the same box for another thread of the same walk: caches of
    // its own (climbed directories, statted anchors), the views of other
    // mount namespaces shared with this one, under a lock.
    std::unique_ptr<BoxJudge> companion() const;

    // How many descriptors so far named a mount that no table known to the
    // judge holds. Such a verdict depends on which namespaces were met
    // before: a walk split between threads judges that process again, in
    // order, on one thread.
    int unknownMounts() const { return m_unknownMounts; }

    // The view for the descriptor table of taskPath ("<pid>" or
    // "<pid>/task/<tid>", below procFd): the daemon's own unless that task
    // lives in another mount namespace.
    const NamespaceView &viewOf(int procFd, const char *taskPath);

    // Whether text could name something in the box in that view; only such
    // descriptors need judging.
    static bool mayBeInside(const NamespaceView &view, const char *text, int length);

    // Judges one descriptor read in that view. fdDir and name are the
    // descriptor's link, used when the text is unreadable.
    Judgement judge(const NamespaceView &view, const HeldDescriptor &held, int fdDir, const char *name);

private:
    struct Anchor
    {
        dev_t device = 0;
        QByteArray fsPath;
        QByteArray boxRelative; // empty for the box directory itself
        bool statted = false;   // the fields below, filled on first need
        dev_t statDevice = 0;
        ino_t statInode = 0;
    };

    // For companion() alone: a copy would share the other namespaces' views.
    BoxJudge(const BoxJudge &) = default;
    BoxJudge &operator=(const BoxJudge &) = delete;

    void buildView(NamespaceView &view) const;
    const MountEntry *mountOf(const NamespaceView &view, int mountId) const;
    bool onAnchorDevice(dev_t device) const;
    Judgement judgeByPath(const NamespaceView &view, const MountEntry &mount,
                          const HeldDescriptor &held) const;
    Judgement judgeUnnamed(const NamespaceView &view, const HeldDescriptor &held, int fdDir,
                           const char *name);
    // The verdict for a descriptor its text cannot place, by its file's identity.
    Judgement judgeByIdentity(const HeldDescriptor &held) const;
    bool isAnchorNode(dev_t device, ino_t inode, bool includeBoxItself);

    struct DirectoryKey
    {
        dev_t device;
        ino_t inode;
        bool operator<(const DirectoryKey &other) const
        {
            return device != other.device ? device < other.device : inode < other.inode;
        }
    };

    // Views of the mount namespaces other than the daemon's, by namespace;
    // never removed during a walk, so a view handed out stays valid.
    struct OtherViews
    {
        std::mutex lock;
        std::map<QByteArray, std::unique_ptr<NamespaceView>> views;
    };

    QByteArray m_boxPath;
    mutable int m_unknownMounts = 0;
    // Directories a climb has passed, with the verdict it ended with.
    std::map<DirectoryKey, Verdict> m_climbed;
    NamespaceView m_own;
    QByteArray m_ownNamespace;
    std::vector<Anchor> m_anchors;
    std::shared_ptr<OtherViews> m_others = std::make_shared<OtherViews>();
    // Shared with the companions: one walk of the box's tree per scan.
    std::shared_ptr<BoxTreeIdentities> m_tree;
};

// statx of the file behind a descriptor link, through /proc: never a path of
// the holder's. Cached attributes only, so a stalled file system cannot hold
// the scan. Where the file system refuses the daemon (a FUSE mount without
// allow_other), the mount id comes from fdinfo.
void statHeldDescriptor(int fdDir, const char *name, HeldDescriptor &held);
