// SPDX-License-Identifier: GPL-2.0-or-later
#include "treeremoval.h"

#include "callguard.h"
#include "direntries.h"
#include "ownedfd.h"
#include "statnode.h"

#include <QByteArray>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Directories this deep or deeper give their descriptor back while the walk is
// below them and reopen themselves through "..", so any depth fits into a
// bounded number of open descriptors.
constexpr std::size_t kHeldLevels = 64;

constexpr int kOpenDirectory = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Node
{
    mode_t mode = 0;
    dev_t device = 0;
    ino_t inode = 0;
    quint64 mountId = 0; // 0 where the kernel does not report it
};

// The one way the walk removes anything: an act of the call it works for,
// refused (-ECANCELED) once that call has been answered. 0 or -errno.
int unlinkEntry(int dirFd, const char *name, int flags)
{
    const GuardedAct act(CallGuard::Act::Removal);
    if (!act)
        return -ECANCELED;
    return unlinkat(dirFd, name, flags) == 0 ? 0 : -errno;
}

// 0 or -errno.
int fillNode(int dirFd, const char *name, int flags, Node &node)
{
    struct statx sx = {};
    if (const int statted = statNode(dirFd, name, flags | AT_SYMLINK_NOFOLLOW, sx))
        return statted;
    node.mode = sx.stx_mode;
    node.device = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    node.inode = sx.stx_ino;
    node.mountId = (sx.stx_mask & STATX_MNT_ID) ? sx.stx_mnt_id : 0;
    return 0;
}

int nodeAt(int dirFd, const char *name, Node &node)
{
    return fillNode(dirFd, name, 0, node);
}

int nodeOf(int fd, Node &node)
{
    return fillNode(fd, "", AT_EMPTY_PATH, node);
}

// The device number alone would miss a bind mount from the same file system.
bool onSameMount(const Node &a, const Node &b)
{
    if (a.device != b.device)
        return false;
    return a.mountId == 0 || b.mountId == 0 || a.mountId == b.mountId;
}

bool sameNode(const Node &a, const Node &b)
{
    return a.inode == b.inode && onSameMount(a, b);
}

struct Frame
{
    OwnedFd fd;      // invalid while the walk is below a deep level
    QByteArray name; // in the parent directory
    Node node;
    std::vector<QByteArray> subdirectories; // still to be entered
    bool incomplete = false;                // something below could not be removed
};

class Walk
{
public:
    explicit Walk(const Node &top) : m_top(top), m_buffer(32768) {}

    int firstError() const { return m_firstError; }

    bool run(OwnedFd start)
    {
        Frame first;
        first.fd = std::move(start);
        first.node = m_top;
        m_stack.push_back(std::move(first));
        readDirectory(m_stack.back());

        for (;;) {
            Frame &top = m_stack.back();
            if (currentCallStopped()) {
                fail(top, -ECANCELED); // answered: nothing more is removed
                return false;
            }
            if (!top.subdirectories.empty()) {
                const QByteArray name = std::move(top.subdirectories.back());
                top.subdirectories.pop_back();
                enter(name);
                continue;
            }
            if (m_stack.size() == 1)
                return !top.incomplete;
            if (!leave()) {
                fail(top, -ESTALE);
                return false;
            }
        }
    }

private:
    // error: -errno.
    void fail(Frame &frame, int error)
    {
        frame.incomplete = true;
        if (m_firstError == 0)
            m_firstError = error;
    }

    // Non-directories go at once; directories are queued, so the directory is
    // read in one go and never resumed after its contents changed.
    void readDirectory(Frame &frame)
    {
        DirEntries entries(frame.fd.get(), m_buffer.data(), m_buffer.size());
        unsigned char type = DT_UNKNOWN;
        while (const char *name = entries.next(&type)) {
            if (type != DT_DIR && type != DT_UNKNOWN) {
                removeNonDirectory(frame, name);
                continue;
            }
            Node node;
            if (const int error = nodeAt(frame.fd.get(), name, node)) {
                if (error != -ENOENT)
                    fail(frame, error);
                continue;
            }
            if (!onSameMount(node, m_top)) {
                fail(frame, -EBUSY); // another file system: left whole
                continue;
            }
            if (S_ISDIR(node.mode))
                frame.subdirectories.emplace_back(name);
            else
                removeNonDirectory(frame, name);
        }
        if (entries.error() != 0)
            fail(frame, entries.error());
    }

    void removeNonDirectory(Frame &frame, const char *name)
    {
        const int error = unlinkEntry(frame.fd.get(), name, 0);
        if (error == 0 || error == -ENOENT)
            return;
        if (error == -EISDIR) {
            // Replaced by a directory since it was listed; entering checks it.
            frame.subdirectories.emplace_back(name);
            return;
        }
        fail(frame, error); // -EBUSY: a file mounted there
    }

    void enter(const QByteArray &name)
    {
        Frame &parent = m_stack.back();
        OwnedFd child(openat(parent.fd.get(), name.constData(), kOpenDirectory));
        if (!child.isValid()) {
            const int error = -errno;
            if (error == -ENOENT)
                return;
            if (error == -ELOOP || error == -ENOTDIR) {
                // Swapped for a link or a file meanwhile: that entry goes, its target stays.
                const int removed = unlinkEntry(parent.fd.get(), name.constData(), 0);
                if (removed != 0 && removed != -ENOENT)
                    fail(parent, removed);
                return;
            }
            fail(parent, error);
            return;
        }
        Node node;
        if (const int error = nodeOf(child.get(), node)) {
            fail(parent, error);
            return;
        }
        if (!S_ISDIR(node.mode) || !onSameMount(node, m_top)) {
            fail(parent, -EBUSY);
            return;
        }
        if (m_stack.size() > kHeldLevels)
            parent.fd.reset();

        Frame frame;
        frame.fd = std::move(child);
        frame.name = name;
        frame.node = node;
        m_stack.push_back(std::move(frame));
        readDirectory(m_stack.back());
    }

    // False when the walk cannot find its way back up: the tree was moved
    // under it, and going on could only touch something else.
    bool leave()
    {
        Frame done = std::move(m_stack.back());
        m_stack.pop_back();
        Frame &parent = m_stack.back();
        if (!parent.fd.isValid()) {
            OwnedFd up(openat(done.fd.get(), "..", kOpenDirectory));
            Node node;
            if (!up.isValid() || nodeOf(up.get(), node) != 0 || !sameNode(node, parent.node))
                return false;
            parent.fd = std::move(up);
        }
        done.fd.reset();

        if (done.incomplete) {
            parent.incomplete = true;
            return true;
        }
        Node now;
        if (const int error = nodeAt(parent.fd.get(), done.name.constData(), now)) {
            if (error != -ENOENT)
                fail(parent, error);
            return true;
        }
        if (!sameNode(now, done.node)) {
            fail(parent, -ESTALE); // something else took its name meanwhile
            return true;
        }
        const int error = unlinkEntry(parent.fd.get(), done.name.constData(), AT_REMOVEDIR);
        if (error != 0 && error != -ENOENT)
            fail(parent, error);
        return true;
    }

    const Node m_top;
    std::vector<char> m_buffer;
    std::vector<Frame> m_stack;
    int m_firstError = 0;
};

} // namespace

TreeRemoval removeDirectoryContents(int dirFd)
{
    // A description of our own, so the caller's read position stays as it was.
    OwnedFd start(openat(dirFd, ".", kOpenDirectory));
    if (!start.isValid())
        return {false, -errno};
    Node top;
    if (const int error = nodeOf(start.get(), top))
        return {false, error};
    Walk walk(top);
    const bool emptied = walk.run(std::move(start));
    return {emptied, walk.firstError()};
}
