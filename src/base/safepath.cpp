// SPDX-License-Identifier: GPL-2.0-or-later
#include "safepath.h"

#include "ownedfd.h"

#include <QList>

#include <algorithm>
#include <cassert>
#include <climits>
#include <deque>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// -ELOOP when the entry that refused to open (with error, -errno) is a
// link, else error.
int refusal(int dirFd, const char *name, int error)
{
    struct stat status = {};
    if ((error == -ENOTDIR || error == -ELOOP) && fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(status.st_mode))
        return -ELOOP;
    return error;
}

} // namespace

int openBeneathNoLinks(int dirFd, const QByteArray &relative, int flags)
{
    if (relative.startsWith('/'))
        return -EXDEV;
    QList<QByteArray> parts = relative.split('/');
    parts.removeAll(QByteArray());
    parts.removeAll(QByteArrayLiteral("."));
    if (parts.contains(QByteArrayLiteral("..")))
        return -EXDEV;
    if (parts.isEmpty()) {
        const int fd = openat(dirFd, ".", flags | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }
    OwnedFd at;
    for (int i = 0; i < parts.size(); ++i) {
        const int from = at ? at.get() : dirFd;
        const char *name = parts.at(i).constData();
        const bool last = i == parts.size() - 1;
        const int fd = openat(from, name, last ? (flags | O_NOFOLLOW | O_CLOEXEC) : kStepFlags);
        if (fd < 0)
            return refusal(from, name, -errno);
        at.reset(fd);
    }
    // O_PATH | O_NOFOLLOW opens a link itself rather than failing.
    struct stat status = {};
    if ((flags & O_PATH) && fstat(at.get(), &status) == 0 && S_ISLNK(status.st_mode))
        return -ELOOP;
    return at.release();
}

namespace {

constexpr int kMaxLinks = 40;

struct Step
{
    QByteArray name;
    bool onLinkWay; // a component of a link's target before its last
};

// The owner whose files a resolution has reached: unset while everything so
// far was root's; then only that owner's entries are entered, and root's
// only on a link's way.
class Transitions
{
public:
    bool allows(uid_t owner, bool onLinkWay)
    {
        if (!m_bound || *m_bound == 0) {
            m_bound = owner;
            return true;
        }
        return owner == *m_bound || (owner == 0 && onLinkWay);
    }

private:
    std::optional<uid_t> m_bound;
};

QByteArray parentOf(const QByteArray &path)
{
    return path.left(std::max(0, path.lastIndexOf('/')));
}

} // namespace

QByteArray joinedAsText(const QByteArray &base, const QList<QByteArray> &names)
{
    assert(base.isEmpty() || (base.startsWith('/') && !base.endsWith('/')));
    QByteArray path = base;
    for (const QByteArray &name : names) {
        if (name == "..")
            path = parentOf(path);
        else if (!name.isEmpty() && name != ".")
            path += '/' + name;
    }
    return path.isEmpty() ? QByteArrayLiteral("/") : path;
}

SafeResolution resolveSafely(const QByteArray &path)
{
    assert(path.startsWith('/'));
    SafeResolution result;
    std::deque<Step> todo;
    for (const QByteArray &name : path.split('/'))
        todo.push_back({name, false});
    OwnedFd at(open("/", kStepFlags));
    if (!at)
        return {-errno, {}, {}};
    QByteArray where; // the canonical path of `at`, "" for "/"
    Transitions transitions;
    struct stat status = {};
    if (fstat(at.get(), &status) != 0)
        return {-errno, {}, {}};
    transitions.allows(status.st_uid, false);
    int links = 0;
    const auto unsafe = [](const QByteArray &entry) { return SafeResolution{-ENOLINK, {}, entry}; };
    while (!todo.empty()) {
        const Step step = std::move(todo.front());
        todo.pop_front();
        if (step.name.isEmpty() || step.name == ".")
            continue;
        if (step.name == "..") {
            if (where.isEmpty())
                continue; // ".." of "/" is "/"
            OwnedFd up(openat(at.get(), "..", kStepFlags));
            if (!up || fstat(up.get(), &status) != 0)
                return {-errno, {}, {}};
            where = parentOf(where);
            if (!transitions.allows(status.st_uid, step.onLinkWay))
                return unsafe(where.isEmpty() ? QByteArrayLiteral("/") : where);
            at = std::move(up);
            continue;
        }
        const QByteArray entry = where + '/' + step.name;
        OwnedFd next(openat(at.get(), step.name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            if (errno != ENOENT)
                return {-errno, {}, {}};
            // Nothing below a missing entry can be a link: the rest is text.
            QList<QByteArray> rest;
            for (const Step &later : todo)
                rest.append(later.name);
            return {0, joinedAsText(entry, rest), {}};
        }
        if (fstat(next.get(), &status) != 0)
            return {-errno, {}, {}};
        if (!transitions.allows(status.st_uid, step.onLinkWay))
            return unsafe(entry);
        if (S_ISLNK(status.st_mode)) {
            if (++links > kMaxLinks)
                return {-ELOOP, {}, {}};
            char target[PATH_MAX];
            const ssize_t length = readlinkat(next.get(), "", target, sizeof target);
            if (length < 0)
                return {-errno, {}, {}};
            if (length == 0 || length == sizeof target)
                return {-ENAMETOOLONG, {}, {}};
            const QList<QByteArray> names = QByteArray(target, static_cast<int>(length)).split('/');
            for (int i = names.size() - 1; i >= 0; --i)
                todo.push_front({names.at(i), i < names.size() - 1});
            if (target[0] == '/') {
                at.reset(open("/", kStepFlags));
                if (!at)
                    return {-errno, {}, {}};
                where.clear();
            }
            continue;
        }
        if (!S_ISDIR(status.st_mode) && !todo.empty())
            return {-ENOTDIR, {}, {}};
        at = std::move(next);
        where = entry;
    }
    return {0, where.isEmpty() ? QByteArrayLiteral("/") : where, {}};
}
