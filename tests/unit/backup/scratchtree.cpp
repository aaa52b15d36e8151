#include "scratchtree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ScratchTree {

QString temporaryTemplate()
{
    const QString sandboxScratch = qEnvironmentVariable("ARKVANE_SANDBOX_TMP");
    const QString base = sandboxScratch.isEmpty() ? QDir::tempPath() : sandboxScratch;
    return base + QStringLiteral("/arkvane-backup-test-XXXXXX");
}

bool enterPrivateMountNamespace()
{
    return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool build(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const int arrow = entry.indexOf(QLatin1String("->"));
        const int equals = entry.indexOf(QLatin1Char('='));
        const QString name = entry.left(arrow >= 0 ? arrow : equals >= 0 ? equals : entry.size());
        const QString path = root + QLatin1Char('/') + name;
        if (!QDir().mkpath(name.endsWith(QLatin1Char('/')) ? path : QFileInfo(path).path()))
            return false;
        bool made = true;
        if (arrow >= 0) {
            made = symlink(QFile::encodeName(entry.mid(arrow + 2)).constData(), QFile::encodeName(path).constData()) == 0;
        } else if (equals >= 0) {
            QFile file(path);
            const QByteArray text = entry.mid(equals + 1).toUtf8();
            made = file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
        } else if (name.endsWith(QLatin1Char('|'))) {
            made = mkfifo(QFile::encodeName(path.chopped(1)).constData(), 0600) == 0;
        }
        if (!made)
            return false;
    }
    return true;
}

bool mountTmpfs(const QString &path)
{
    return mount("arkvane-test", QFile::encodeName(path).constData(), "tmpfs", 0, "size=64m") == 0;
}

bool bindMount(const QString &source, const QString &target)
{
    return mount(QFile::encodeName(source).constData(), QFile::encodeName(target).constData(), nullptr,
                 MS_BIND, nullptr)
        == 0;
}

bool isMountTarget(const QString &path)
{
    struct statx info {};
    return statx(AT_FDCWD, QFile::encodeName(path).constData(), AT_SYMLINK_NOFOLLOW, 0, &info) == 0
        && (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0
        && (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

void detachMount(const QString &path)
{
    umount2(QFile::encodeName(path).constData(), MNT_DETACH);
}

QStringList listing(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString relative = QDir(root).relativeFilePath(path);
        if (info.isSymLink()) {
            entries.append(relative + QStringLiteral(" -> ") + info.symLinkTarget());
        } else if (info.isDir()) {
            entries.append(relative + QStringLiteral("/"));
        } else if (info.isFile()) {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            entries.append(relative + QStringLiteral(" = ") + QString::fromLatin1(file.readAll().toHex()));
        } else {
            entries.append(relative + QStringLiteral(" (special)"));
        }
    }
    entries.sort();
    return entries;
}

bool makeNestedChain(int dirFd, int depth, const char *name)
{
    OwnedFd current(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    for (int level = 0; level < depth; ++level) {
        if (mkdirat(current.get(), name, 0700) != 0)
            return false;
        OwnedFd next(openat(current.get(), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isValid())
            return false;
        current = std::move(next);
    }
    OwnedFd leaf(openat(current.get(), "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    return leaf.isValid();
}

OwnedFd makeDirectoryOfLength(int dirFd, const QByteArray &basePath, int length, QByteArray &path)
{
    OwnedFd current(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    path = basePath;
    for (int level = 0; path.size() < length; ++level) {
        // Components of at most 200 bytes, sized so the last one fills the
        // length exactly (each costs its size plus a slash).
        const int left = length - path.size() - 1;
        const int size = left > 402 ? 200 : left > 201 ? left / 2 : left;
        if (size < 1)
            return {};
        const QByteArray component(size, static_cast<char>('a' + level % 26));
        if (mkdirat(current.get(), component.constData(), 0755) != 0)
            return {};
        OwnedFd next(openat(current.get(), component.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!next.isValid())
            return {};
        current = std::move(next);
        path += '/' + component;
    }
    return current;
}

} // namespace ScratchTree
