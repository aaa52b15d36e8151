// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxjudge.h"

#include "callguard.h"
#include "direntries.h"
#include "ownedfd.h"
#include "pathtext.h"
#include "safepath.h"

#include <QList>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kDeletedSuffixLength = sizeof kDeletedSuffix - 1;
// Bound on the climb through ".." for a directory without readable text.
constexpr int kMaxClimb = 1 << 16;
// Entries the walk of a box's tree passes between looks at the deadline.
constexpr unsigned kStepsPerDeadlineCheck = 256;

QByteArray namespaceOf(int dirFd, const char *path)
{
    char text[64];
    const ssize_t length = readlinkat(dirFd, path, text, sizeof text);
    return length > 0 ? QByteArray(text, static_cast<int>(length)) : QByteArray();
}

int mountIdFromFdinfo(int fdDir, const char *name)
{
    char path[64];
    if (std::snprintf(path, sizeof path, "../fdinfo/%s", name) >= static_cast<int>(sizeof path))
        return -1;
    const OwnedFd file(openat(fdDir, path, O_RDONLY | O_CLOEXEC));
    if (!file)
        return -1;
    char text[512];
    const ssize_t length = read(file.get(), text, sizeof text - 1);
    if (length <= 0)
        return -1;
    text[length] = '\0';
    const char *field = std::strstr(text, "mnt_id:");
    return field ? std::atoi(field + sizeof "mnt_id:" - 1) : -1;
}

} // namespace

void statHeldDescriptor(int fdDir, const char *name, HeldDescriptor &held)
{
    struct statx sx = {};
    if (statNode(fdDir, name, 0, sx) == 0 && (sx.stx_mask & STATX_MNT_ID)) {
        held.statted = true;
        held.mountId = static_cast<int>(sx.stx_mnt_id);
        held.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
        held.inode = sx.stx_ino;
        held.mode = sx.stx_mode;
        held.links = sx.stx_nlink;
        return;
    }
    held.statted = false;
    held.gone = errno == ENOENT || errno == ESRCH;
    if (held.gone)
        return;
    held.mountId = mountIdFromFdinfo(fdDir, name);
    held.gone = held.mountId < 0 && (errno == ENOENT || errno == ESRCH);
}

bool fileSystemMayStall(const QByteArray &type)
{
    static const char *const kPrefixes[] = {"fuse", "nfs",      "cifs",   "smb", "9p",   "ceph",
                                            "afs",  "virtiofs", "autofs", "gfs", "ocfs", "lustre"};
    for (const char *prefix : kPrefixes)
        if (type.startsWith(prefix))
            return true;
    return false;
}

BoxTreeIdentities::BoxTreeIdentities(const BoxPath &box, std::vector<Root> roots, CallGuard *guard)
    : m_box(box), m_roots(std::move(roots)), m_guard(guard)
{
}

BoxTreeIdentities::Found BoxTreeIdentities::find(dev_t device, ino_t inode)
{
    const std::lock_guard<std::mutex> hold(m_lock);
    if (!m_walked) {
        walk();
        m_walked = true;
    }
    if (m_identities.count(Identity{device, inode}))
        return Found::Inside;
    return m_cutShort || m_uncertain.count(device) ? Found::Unknown : Found::Outside;
}

void BoxTreeIdentities::walk()
{
    const std::unique_ptr<char[]> buffer(new char[kDirEntriesBufferSize]);
    for (const Root &root : m_roots) {
        if (m_cutShort)
            return;
        walkRoot(root, buffer.get());
    }
}

bool BoxTreeIdentities::stopped()
{
    if (m_steps++ % kStepsPerDeadlineCheck == 0 && m_guard && m_guard->stopped())
        m_cutShort = true;
    return m_cutShort;
}

void BoxTreeIdentities::record(const struct statx &sx)
{
    m_identities.insert(Identity{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino});
}

// The files below a root that was not walked show to stat the device the
// mount table names, except on file systems that report others (btrfs
// subvolumes, overlays): then no device can be vouched for.
void BoxTreeIdentities::notWalked(const Root &root)
{
    if (root.type == "btrfs" || root.type == "overlay")
        m_cutShort = true;
    else
        m_uncertain.insert(root.device);
}

// Depth first, each directory read whole before any below it is opened, and
// its descriptor closed once its last subdirectory is entered: a chain of
// directories, however deep, holds one descriptor at a time.
void BoxTreeIdentities::walkRoot(const Root &root, char *buffer)
{
    if (fileSystemMayStall(root.type)) {
        notWalked(root);
        return;
    }
    OwnedFd directory(m_box.openBelow(root.boxRelative, O_RDONLY | O_DIRECTORY));
    struct statx sx = {};
    // Not there, or covered by a later mount: what it holds is out of reach.
    if (!directory || statNode(directory.get(), "", AT_EMPTY_PATH, sx) != 0 || !(sx.stx_mask & STATX_MNT_ID)
        || sx.stx_mnt_id != static_cast<std::uint64_t>(root.mountId)) {
        notWalked(root);
        return;
    }
    if (root.countsItself)
        record(sx);
    struct Level
    {
        OwnedFd directory;
        dev_t device;
        std::vector<QByteArray> subdirectories;
    };
    std::vector<Level> levels(1);
    levels.back().directory = std::move(directory);
    levels.back().device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    if (!readDirectory(levels.back().directory.get(), levels.back().device, buffer,
                       levels.back().subdirectories))
        return;
    while (!levels.empty()) {
        if (stopped())
            return;
        Level &level = levels.back();
        if (level.subdirectories.empty()) {
            levels.pop_back();
            continue;
        }
        const QByteArray name = std::move(level.subdirectories.back());
        level.subdirectories.pop_back();
        struct statx childSx = {};
        if (const int statted =
                statNode(level.directory.get(), name.constData(), AT_SYMLINK_NOFOLLOW, childSx)) {
            if (statted != -ENOENT) // else removed since it was listed: nothing left to find
                m_uncertain.insert(level.device);
            continue;
        }
        if (!S_ISDIR(childSx.stx_mode)) { // replaced since it was listed
            record(childSx);
            continue;
        }
        // Another mount, never entered (its file system might stall): an
        // anchor of its own if the daemon's table has it. Either way it
        // covers a directory of this one, whose contents cannot be seen.
        if (!(childSx.stx_mask & STATX_MNT_ID)
            || childSx.stx_mnt_id != static_cast<std::uint64_t>(root.mountId)) {
            m_uncertain.insert(level.device);
            continue;
        }
        OwnedFd child(
            openat(level.directory.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        struct statx opened = {};
        if (!child || statNode(child.get(), "", AT_EMPTY_PATH, opened) != 0
            || opened.stx_mnt_id != childSx.stx_mnt_id || opened.stx_ino != childSx.stx_ino) {
            // Replaced or mounted on since it was looked at: what it holds
            // was not seen.
            m_uncertain.insert(level.device);
            if (!child && (errno == EMFILE || errno == ENFILE))
                m_cutShort = true;
            continue;
        }
        record(childSx);
        const dev_t childDevice = makedev(childSx.stx_dev_major, childSx.stx_dev_minor);
        if (level.subdirectories.empty())
            levels.pop_back(); // its last: its descriptor is not needed any more
        levels.push_back(Level{std::move(child), childDevice, {}});
        if (!readDirectory(levels.back().directory.get(), childDevice, buffer, levels.back().subdirectories))
            levels.back().subdirectories.clear();
    }
}

// Records every entry of the directory but its subdirectories (recorded when
// entered) and lists those. False when it could not be read whole; what it
// holds is then uncertain.
bool BoxTreeIdentities::readDirectory(int dirFd, dev_t device, char *buffer,
                                      std::vector<QByteArray> &subdirectories)
{
    DirEntries entries(dirFd, buffer, kDirEntriesBufferSize);
    unsigned char type = DT_UNKNOWN;
    while (const char *name = entries.next(&type)) {
        if (stopped())
            return false;
        if (type == DT_DIR) {
            subdirectories.emplace_back(name);
            continue;
        }
        struct statx sx = {};
        if (const int statted = statNode(dirFd, name, AT_SYMLINK_NOFOLLOW, sx)) {
            if (statted != -ENOENT)
                m_uncertain.insert(device);
            continue;
        }
        if (S_ISDIR(sx.stx_mode))
            subdirectories.emplace_back(name);
        else
            record(sx);
    }
    if (entries.error() != 0) {
        m_uncertain.insert(device);
        return false;
    }
    return true;
}

std::vector<BoxAnchor> boxAnchorsOf(const BoxPath &box, const MountTable &table)
{
    std::vector<BoxAnchor> anchors;
    const QByteArray &boxPath = box.bytes();
    const MountEntry *boxMount = box.isCanonical() ? table.containing(boxPath) : nullptr;
    if (!boxMount)
        return anchors;
    anchors.push_back({boxMount, joinedPath(boxMount->root, pathBelow(boxPath, boxMount->mountPoint)), {}});
    for (const MountEntry &entry : table.entries()) {
        if (entry.mountPoint != boxPath && isPathAtOrBelow(entry.mountPoint, boxPath))
            anchors.push_back({&entry, entry.root, pathBelow(entry.mountPoint, boxPath)});
    }
    return anchors;
}

BoxJudge::BoxJudge(const ScannedBox &scanned) : m_boxPath(scanned.box.bytes())
{
    m_own.own = true;
    m_own.table = scanned.mounts;
    m_ownNamespace = namespaceOf(AT_FDCWD, "/proc/self/ns/mnt");
    m_own.tableRead = true;
    std::vector<BoxTreeIdentities::Root> roots;
    for (const BoxAnchor &anchor : scanned.anchors) {
        m_anchors.push_back(Anchor{anchor.mount->device, anchor.fsPath, anchor.boxRelative});
        roots.push_back({anchor.boxRelative, anchor.mount->id, anchor.mount->device, anchor.mount->type,
                         !anchor.boxRelative.isEmpty()});
    }
    m_tree = std::make_shared<BoxTreeIdentities>(scanned.box, std::move(roots), CallGuard::current());
    buildView(m_own);
}

std::unique_ptr<BoxJudge> BoxJudge::companion() const
{
    std::unique_ptr<BoxJudge> other(new BoxJudge(*this));
    other->m_climbed.clear();
    other->m_unknownMounts = 0;
    return other;
}

void BoxJudge::buildView(NamespaceView &view) const
{
    std::vector<NamespaceView::Prefix> found;
    for (const MountEntry &mount : view.table.entries()) {
        for (const Anchor &anchor : m_anchors) {
            if (anchor.device != mount.device)
                continue;
            if (isPathAtOrBelow(anchor.fsPath, mount.root))
                found.push_back({joinedPath(mount.mountPoint, pathBelow(anchor.fsPath, mount.root)),
                                 !anchor.boxRelative.isEmpty()});
            else if (isPathAtOrBelow(mount.root, anchor.fsPath))
                found.push_back({mount.mountPoint, true});
        }
    }
    // A prefix below another (or the same one again) adds nothing to the filter.
    for (std::size_t i = 0; i < found.size(); ++i) {
        bool covered = false;
        for (std::size_t j = 0; j < found.size() && !covered; ++j) {
            const NamespaceView::Prefix &mine = found[i];
            const NamespaceView::Prefix &other = found[j];
            if (j == i || !isPathAtOrBelow(mine.text, other.text))
                continue;
            covered = mine.text != other.text || (other.includesItself && !mine.includesItself)
                      || (other.includesItself == mine.includesItself && j < i);
        }
        if (!covered)
            view.prefixes.push_back(found[i]);
    }
}

const NamespaceView &BoxJudge::viewOf(int procFd, const char *taskPath)
{
    char path[96];
    const std::size_t length = std::strlen(taskPath);
    if (m_ownNamespace.isEmpty() || length + sizeof "/mountinfo" > sizeof path)
        return m_own;
    std::memcpy(path, taskPath, length);
    std::memcpy(path + length, "/ns/mnt", sizeof "/ns/mnt");
    char text[64];
    const ssize_t size = readlinkat(procFd, path, text, sizeof text);
    // A task whose namespace cannot be read (it is ending) is judged in the
    // daemon's: its descriptors' mounts are still checked by id.
    if (size <= 0
        || (size == m_ownNamespace.size() && std::memcmp(text, m_ownNamespace.constData(), size) == 0))
        return m_own;
    const QByteArray space(text, static_cast<int>(size));
    const std::lock_guard<std::mutex> hold(m_others->lock);
    std::unique_ptr<NamespaceView> &view = m_others->views[space];
    if (!view) {
        view.reset(new NamespaceView);
        formatFitting(path, sizeof path, "%s/mountinfo", taskPath);
        view->tableRead = view->table.read(procFd, path) == 0;
        if (view->tableRead)
            buildView(*view);
    }
    return *view;
}

bool BoxJudge::mayBeInside(const NamespaceView &view, const char *text, int length)
{
    // Without its table every descriptor of that namespace is judged.
    if (!view.tableRead)
        return length > 0 && text[0] == '/';
    for (const NamespaceView::Prefix &prefix : view.prefixes) {
        const int size = prefix.text.size();
        if (size == 1) // "/": the box shows as the namespace's root
            return length > 0 && text[0] == '/';
        if (length < size || std::memcmp(text, prefix.text.constData(), size) != 0)
            continue;
        if (length > size ? text[size] == '/' : prefix.includesItself)
            return true;
    }
    return false;
}

const MountEntry *BoxJudge::mountOf(const NamespaceView &view, int mountId) const
{
    if (mountId < 0)
        return nullptr;
    if (const MountEntry *mount = view.table.byId(mountId))
        return mount;
    // A descriptor handed over from another namespace.
    if (const MountEntry *mount = m_own.table.byId(mountId))
        return mount;
    const std::lock_guard<std::mutex> hold(m_others->lock);
    for (const auto &other : m_others->views) {
        if (const MountEntry *mount = other.second->table.byId(mountId))
            return mount;
    }
    ++m_unknownMounts;
    return nullptr;
}

bool BoxJudge::onAnchorDevice(dev_t device) const
{
    for (const Anchor &anchor : m_anchors) {
        if (anchor.device == device)
            return true;
    }
    return false;
}

Judgement BoxJudge::judge(const NamespaceView &view, const HeldDescriptor &held, int fdDir, const char *name)
{
    if (held.length < 0)
        return judgeUnnamed(view, held, fdDir, name);
    const MountEntry *mount = mountOf(view, held.mountId);
    if (!mount) {
        // No table names the mount: it is detached, or in a namespace no
        // holder was found in. A file on another device is surely outside.
        if (held.statted && !onAnchorDevice(held.device))
            return {};
        return judgeByIdentity(held);
    }
    if (!onAnchorDevice(mount->device))
        return {};
    const Judgement byPath = judgeByPath(view, *mount, held);
    return byPath.verdict == Verdict::Unjudged ? judgeByIdentity(held) : byPath;
}

Judgement BoxJudge::judgeByIdentity(const HeldDescriptor &held) const
{
    // A file without a link is in no tree: where it was cannot be told.
    if (!held.statted || held.links == 0 || !m_tree)
        return {Verdict::Unjudged, {}, false};
    switch (m_tree->find(held.device, held.inode)) {
    case BoxTreeIdentities::Found::Inside:
        return {Verdict::Inside, {}, false};
    case BoxTreeIdentities::Found::Outside:
        return {};
    case BoxTreeIdentities::Found::Unknown:
        break;
    }
    return {Verdict::Unjudged, {}, false};
}

Judgement BoxJudge::judgeByPath(const NamespaceView &view, const MountEntry &mount,
                                const HeldDescriptor &held) const
{
    // The kernel marks a name that is gone with a suffix; a real name may end
    // the same way, so the descriptor's link count decides.
    const bool deleted = held.statted && held.links == 0;
    int length = held.length;
    if (deleted && length >= kDeletedSuffixLength
        && std::memcmp(held.text + length - kDeletedSuffixLength, kDeletedSuffix, kDeletedSuffixLength) == 0)
        length -= kDeletedSuffixLength;
    const QByteArray text = QByteArray::fromRawData(held.text, length);
    // The fast path: in the daemon's own namespace, on one of its own mounts,
    // the text is where the file shows in the daemon's tree, so a text below
    // the box names the file inside it.
    const int boxLength = m_boxPath.size();
    if (view.own && &mount == m_own.table.byId(mount.id) && length > boxLength + 1
        && text.startsWith(m_boxPath) && text.at(boxLength) == '/')
        return {Verdict::Inside, QByteArray(held.text + boxLength + 1, length - boxLength - 1), deleted};
    if (!isPathAtOrBelow(text, mount.mountPoint))
        return {Verdict::Unjudged, {}, false};
    const QByteArray fsPath = joinedPath(mount.root, pathBelow(text, mount.mountPoint));
    for (const Anchor &anchor : m_anchors) {
        if (anchor.device != mount.device || !isPathAtOrBelow(fsPath, anchor.fsPath))
            continue;
        const QByteArray below = pathBelow(fsPath, anchor.fsPath);
        if (below.isEmpty() && anchor.boxRelative.isEmpty())
            continue; // the box directory itself
        return {Verdict::Inside, joinedPath(anchor.boxRelative, below), deleted};
    }
    return {};
}

bool BoxJudge::isAnchorNode(dev_t device, ino_t inode, bool includeBoxItself)
{
    for (Anchor &anchor : m_anchors) {
        if (!anchor.statted) {
            struct statx sx = {};
            const QByteArray path = joinedPath(m_boxPath, anchor.boxRelative);
            if (statNode(AT_FDCWD, path.constData(), AT_SYMLINK_NOFOLLOW, sx) != 0)
                continue;
            anchor.statted = true;
            anchor.statDevice = makedev(sx.stx_dev_major, sx.stx_dev_minor);
            anchor.statInode = sx.stx_ino;
        }
        if ((includeBoxItself || !anchor.boxRelative.isEmpty()) && anchor.statDevice == device
            && anchor.statInode == inode)
            return true;
    }
    return false;
}

// The kernel cannot print the path (it is longer than a page): a directory
// is climbed through "..", one descriptor at a time, until an anchor or the
// top; anything else cannot be placed.
Judgement BoxJudge::judgeUnnamed(const NamespaceView &view, const HeldDescriptor &held, int fdDir,
                                 const char *name)
{
    const MountEntry *mount = mountOf(view, held.mountId);
    if (mount ? !onAnchorDevice(mount->device) : held.statted && !onAnchorDevice(held.device))
        return {};
    if (!held.statted || !S_ISDIR(held.mode))
        return judgeByIdentity(held);
    OwnedFd current(openat(fdDir, name, O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct statx sx = {};
    if (!current || statNode(current.get(), "", AT_EMPTY_PATH, sx) != 0)
        return judgeByIdentity(held);
    const bool deleted = sx.stx_nlink == 0;
    // Every directory passed on the way up gets the verdict the climb ends
    // with, so a deep tree costs its depth once per scan, not once per
    // descriptor held in it.
    std::vector<DirectoryKey> passed;
    const auto settle = [this, &passed, deleted](Verdict verdict) -> Judgement {
        for (const DirectoryKey &key : passed)
            m_climbed.emplace(key, verdict);
        if (verdict == Verdict::Inside)
            return {Verdict::Inside, {}, deleted};
        return {verdict, {}, false};
    };
    for (int step = 0; step < kMaxClimb; ++step) {
        const DirectoryKey key{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
        const auto known = m_climbed.find(key);
        if (known != m_climbed.end())
            return settle(known->second);
        if (isAnchorNode(key.device, key.inode, step > 0))
            return settle(Verdict::Inside);
        // The box directory itself is outside only as the held one: a
        // directory below it must never find it settled so.
        if (step > 0 || !isAnchorNode(key.device, key.inode, true))
            passed.push_back(key);
        OwnedFd parent(openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct statx up = {};
        if (!parent || statNode(parent.get(), "", AT_EMPTY_PATH, up) != 0)
            return judgeByIdentity(held);
        if (up.stx_dev_major == sx.stx_dev_major && up.stx_dev_minor == sx.stx_dev_minor
            && up.stx_ino == sx.stx_ino) {
            // The top: ".." is the directory itself. It is the file system's
            // root only on a mount that shows the whole of it; the root of a
            // mount of one of its directories (the box's among them) may lie
            // in the box.
            if (mount && mount->root == "/")
                return settle(Verdict::Outside);
            const Judgement byIdentity = judgeByIdentity(held);
            return byIdentity.verdict == Verdict::Unjudged ? byIdentity : settle(byIdentity.verdict);
        }
        current = std::move(parent);
        sx = up;
    }
    return judgeByIdentity(held);
}
