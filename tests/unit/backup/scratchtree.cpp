#include "scratchtree.h"

#include "treeremoval.h"
#include "ownedfd.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

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

bool makeDirectories(const QString &path)
{
    return QDir().mkpath(path);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}

bool makeSymlink(const QString &target, const QString &linkPath)
{
    return symlink(QFile::encodeName(target).constData(), QFile::encodeName(linkPath).constData()) == 0;
}

bool makeFifo(const QString &path)
{
    return mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
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

namespace {

// Mount targets in mountinfo have space, tab, newline and backslash as octal escapes.
QByteArray unescapedTarget(const QByteArray &field)
{
    QByteArray out;
    for (int i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return out;
}

QList<QByteArray> mountTargets()
{
    QList<QByteArray> targets;
    QFile table(QStringLiteral("/proc/self/mountinfo"));
    if (!table.open(QIODevice::ReadOnly))
        return targets;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4)
            targets.append(unescapedTarget(fields[4]));
    }
    return targets;
}

} // namespace

bool isMountTarget(const QString &path)
{
    return mountTargets().contains(QFile::encodeName(path));
}

void detachMountsBelow(const QString &root)
{
    const QByteArray prefix = QFile::encodeName(root);
    QList<QByteArray> below;
    for (const QByteArray &target : mountTargets()) {
        if (target == prefix || target.startsWith(prefix + '/'))
            below.append(target);
    }
    // Later entries sit on top of earlier ones.
    std::reverse(below.begin(), below.end());
    for (const QByteArray &target : below)
        umount2(target.constData(), MNT_DETACH);
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

void removeTree(const QString &root)
{
    detachMountsBelow(root);
    OwnedFd dir(open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (dir.isValid())
        removeDirectoryContents(dir.get());
    rmdir(QFile::encodeName(root).constData());
}

} // namespace ScratchTree
