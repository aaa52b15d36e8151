// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonbackupservice.h"
#include "boxrootprobe.h"
#include "childprocess.h"
#include "mountstatus.h"
#include "ownedfd.h"
#include "treeremoval.h"

#include <QtTest>

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <syslog.h>

#include <atomic>
#include <cstdarg>
#include <cstring>
#include <future>
#include <vector>

namespace {
QList<QByteArray> g_logged;
QByteArray g_lastDebug; // the debug stream's last line
} // namespace

// The test defines syslog(), so every line the code under test writes to the
// system log lands in g_logged, formatted, in order. The process scan's own
// failure line is left out: whether the scan runs is not under test here.
extern "C" void vsyslog(int priority, const char *format, va_list arguments)
{
    char text[8192];
    std::vsnprintf(text, sizeof text, format, arguments);
    if (!std::strstr(text, "] kill_allProcessByPath failed: "))
        g_logged.append(QByteArray(priority == LOG_INFO ? "" : "wrong priority: ") + QByteArray(text));
}
extern "C" void syslog(int priority, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(priority, format, arguments);
    va_end(arguments);
}
// What a fortified build calls instead of syslog().
extern "C" void __syslog_chk(int priority, int, const char *format, ...);
extern "C" void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(priority, format, arguments);
    va_end(arguments);
}

namespace {

QByteArray enc(const QString &path)
{
    return QFile::encodeName(path);
}

// A tmpfs at path, or a bind mount of source there.
bool mountAt(const QString &path, const QString &source = {})
{
    return mount(source.isEmpty() ? "arkvane-test" : enc(source).constData(), enc(path).constData(),
                 source.isEmpty() ? "tmpfs" : nullptr, source.isEmpty() ? 0 : MS_BIND, "size=64m")
           == 0;
}

// Whether path itself (a last link not followed) is the root of a mount.
bool isMountTarget(const QString &path)
{
    struct statx info = {};
    return statx(AT_FDCWD, enc(path).constData(), AT_SYMLINK_NOFOLLOW, 0, &info) == 0
           && (info.stx_attributes_mask & info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

OwnedFd openDirectory(const QString &path)
{
    return OwnedFd(open(enc(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Makes entries below root, each with the directories it needs: "dir/" a
// directory, "name=text" a file holding text, "name->target" a symbolic
// link, "name|" a fifo.
bool build(const QString &root, const QStringList &entries)
{
    for (const QString &entry : entries) {
        const int arrow = entry.indexOf(QLatin1String("->"));
        const int equals = entry.indexOf(QLatin1Char('='));
        const QString path = root + QLatin1Char('/') + entry.left(arrow >= 0 ? arrow : equals);
        if (!QDir().mkpath(path.endsWith(QLatin1Char('/')) ? path : QFileInfo(path).path()))
            return false;
        QFile file(path);
        const QByteArray text = entry.mid(equals + 1).toUtf8();
        if ((arrow >= 0 && symlink(enc(entry.mid(arrow + 2)).constData(), enc(path).constData()) != 0)
            || (arrow < 0 && equals >= 0
                && !(file.open(QIODevice::WriteOnly) && file.write(text) == text.size()))
            || (path.endsWith(QLatin1Char('|')) && mkfifo(enc(path.chopped(1)).constData(), 0600) != 0))
            return false;
    }
    return true;
}

QStringList entriesOf(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

// Every entry below root, links not followed, to tell a tree unchanged.
QStringList listing(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QFile file(info.filePath());
        const QString content = info.isSymLink() ? info.symLinkTarget()
                                : info.isFile() && file.open(QIODevice::ReadOnly)
                                    ? QString::fromLatin1(file.readAll().toHex())
                                    : QString::number(info.isDir());
        entries.append(QDir(root).relativeFilePath(info.filePath()) + QLatin1Char(' ') + content);
    }
    entries.sort();
    return entries;
}

// Directories below dirFd (path basePath) until the innermost is `length` bytes long.
OwnedFd makeDirectoryOfLength(int dirFd, const QByteArray &basePath, int length, QByteArray &path)
{
    OwnedFd current(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    for (path = basePath; path.size() < length && current.isValid();) {
        const int left = length - path.size() - 1;
        const QByteArray component(left > 402 ? 200 : left > 201 ? left / 2 : left, 'a' + path.size() % 26);
        if (component.isEmpty() || mkdirat(current.get(), component.constData(), 0755) != 0)
            return {};
        current = OwnedFd(openat(current.get(), component.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        path += '/' + component;
    }
    return current;
}

// For a child process: keeps exchanging pairs of entries in a directory (a
// subdirectory and a link to the sentinel, named "first\0second") until its
// input closes; ready after the first round.
std::function<void(int)> swapping(const std::vector<std::pair<int, const char *>> &pairs)
{
    return [pairs](int readyFd) {
        fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
        char byte;
        while (read(STDIN_FILENO, &byte, 1) != 0) {
            for (const auto &pair : pairs)
                renameat2(pair.first, pair.second, pair.first, pair.second + std::strlen(pair.second) + 1,
                          RENAME_EXCHANGE);
            if (readyFd >= 0)
                close(std::exchange(readyFd, -1));
        }
        _exit(0);
    };
}

} // namespace

// The backup service's parts the bus cannot reach. Each test has a tmpfs of
// its own, with a sentinel tree (and a mount in it) that nothing may touch.
class TestBackup : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch{qEnvironmentVariable("ARKVANE_SANDBOX_TMP", QDir::tempPath())
                            + QStringLiteral("/arkvane-backup-test-XXXXXX")};
    QString m_root;
    QString m_tree;
    QString m_home;
    QString m_box;
    QString m_sentinel;
    QStringList m_sentinelBefore;

    QString inTree(const char *name) const { return m_tree + QLatin1Char('/') + QLatin1String(name); }

private Q_SLOTS:
    void init()
    {
        QVERIFY(m_scratch.isValid());
        m_root = QFileInfo(m_scratch.path()).canonicalFilePath();
        QVERIFY(mountAt(m_root));
        m_tree = m_root + QStringLiteral("/tree");
        m_home = m_root + QStringLiteral("/home");
        m_box = m_home + QStringLiteral("/.box");
        m_sentinel = m_root + QStringLiteral("/sentinel");
        QVERIFY(build(m_root,
                      {QStringLiteral("tree/"), QStringLiteral("home/"), QStringLiteral("sentinel/kept=file"),
                       QStringLiteral("sentinel/inner/deeper=inner"), QStringLiteral("sentinel/mounted/")}));
        QVERIFY(mountAt(m_sentinel + QStringLiteral("/mounted")));
        QVERIFY(build(m_sentinel, {QStringLiteral("mounted/on-tmpfs=tmpfs")}));
        m_sentinelBefore = listing(m_sentinel);
        g_logged.clear();
    }

    void cleanup() { umount2(enc(m_root).constData(), MNT_DETACH); }

    // Two stalls cost one bound, a path whose look-up is stuck is answered at
    // once, and a late result is dropped when its look-up returns.
    void lookUpsThatStallAreLeftBehind()
    {
        static std::atomic<int> dropped{0};
        std::promise<void> release;
        const std::shared_future<void> released = release.get_future().share();
        const std::function<std::shared_ptr<int>(const QByteArray &)> lookUp = [released](
                                                                                   const QByteArray &path) {
            if (path.startsWith("stall"))
                std::shared_future<void>(released).wait();
            return std::shared_ptr<int>(new int(path.size()), [](int *value) { ++dropped, delete value; });
        };
        QElapsedTimer timer;
        timer.start();
        auto found = lookUpEachWithin({"a", "stall-1", "bc", "stall-2"}, lookUp);
        const qint64 firstMs = timer.restart();
        QVERIFY2(firstMs >= boxRootProbeBoundMs() && firstMs < 2 * boxRootProbeBoundMs(),
                 QByteArray::number(firstMs));
        QVERIFY(found[0] && **found[0] == 1 && !found[1] && found[2] && **found[2] == 2 && !found[3]);
        QVERIFY(!lookUpEachWithin({"stall-1"}, lookUp).front());
        QVERIFY(timer.elapsed() < boxRootProbeBoundMs() / 2);
        found.clear();
        release.set_value();
        QTRY_COMPARE(dropped.load(), 4);
        QVERIFY(lookUpEachWithin({"stall-1"}, lookUp).front());
    }

    // Every kind of entry, links not followed, a depth past any stack.
    void removesEveryKindOfEntryWithoutFollowingLinks()
    {
        QVERIFY(
            build(m_tree, {QStringLiteral("empty/"), QStringLiteral("file=x"), QStringLiteral("a/b/c/file=y"),
                           QStringLiteral(".hidden/d/.file=z"), QStringLiteral("locked/inside/file=w"),
                           QStringLiteral("a/fifo|"), QStringLiteral("link-to-dir->") + m_sentinel,
                           QStringLiteral("a/link-to-file->") + m_sentinel + QStringLiteral("/kept"),
                           QStringLiteral("dangling->/nowhere")}));
        QVERIFY(chmod(enc(inTree("locked")).constData(), 0) == 0);
        QVERIFY(mknod(enc(inTree("a/socket")).constData(), S_IFSOCK | 0600, 0) == 0);
        const OwnedFd tree = openDirectory(m_tree);
        {
            OwnedFd current = openDirectory(inTree("empty"));
            for (int level = 0; level < 100000 && current.isValid(); ++level) {
                QVERIFY(mkdirat(current.get(), "n", 0700) == 0);
                current = OwnedFd(openat(current.get(), "n", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            }
            QVERIFY(OwnedFd(openat(current.get(), "leaf", O_WRONLY | O_CREAT | O_CLOEXEC, 0600)).isValid());
        }
        QVERIFY(removeDirectoryContents(tree.get()));
        QVERIFY(QFileInfo(m_tree).isDir() && entriesOf(m_tree).isEmpty());
        QCOMPARE(listing(m_sentinel), m_sentinelBefore);
        QVERIFY(removeDirectoryContents(tree.get())); // empty: done at once
    }

    // Mounts below are other file systems (a bind mount from the same one
    // included): left whole, still mounted, and the result says so.
    void leavesOtherMountsWhole()
    {
        QVERIFY(build(m_tree, {QStringLiteral("tmpfs/"), QStringLiteral("x/y/bind/"),
                               QStringLiteral("plain/z/file=gone"), QStringLiteral("x/file=gone"),
                               QStringLiteral("mounted-file=target")}));
        QVERIFY(mountAt(inTree("tmpfs")));
        QVERIFY(build(m_tree, {QStringLiteral("tmpfs/kept=on tmpfs")}));
        QVERIFY(mountAt(inTree("x/y/bind"), m_sentinel + QStringLiteral("/inner")));
        QVERIFY(mountAt(inTree("mounted-file"), m_sentinel + QStringLiteral("/kept")));

        QVERIFY(!removeDirectoryContents(openDirectory(m_tree).get()));
        for (const char *mount : {"tmpfs", "x/y/bind", "mounted-file"})
            QVERIFY2(isMountTarget(inTree(mount)), mount);
        QCOMPARE(entriesOf(inTree("tmpfs")), QStringList{QStringLiteral("kept")});
        QCOMPARE(entriesOf(m_tree),
                 (QStringList{QStringLiteral("mounted-file"), QStringLiteral("tmpfs"), QStringLiteral("x")}));
        QCOMPARE(entriesOf(inTree("x")), QStringList{QStringLiteral("y")});
        QCOMPARE(listing(m_sentinel), m_sentinelBefore);
    }

    // While a tree is removed and a box root wiped, another process keeps
    // exchanging directories (at the top, below the levels that keep their
    // descriptor, the box root) with links to the sentinel on the same mount.
    void racingLinkSwapsNeverReachTheSentinel()
    {
        const QString deep = QStringLiteral("sub") + QStringLiteral("/c").repeated(70);
        for (int run = 0; run < 200; ++run) {
            QStringList tree{QStringLiteral("swap->") + m_sentinel,
                             deep + QStringLiteral("/link->") + m_sentinel};
            QStringList home{QStringLiteral(".box/swap->") + m_sentinel,
                             QStringLiteral(".swap->") + m_sentinel};
            for (int i = 0; i < 10; ++i) {
                tree << QStringLiteral("sub/f%1=top").arg(i)
                     << deep + QStringLiteral("/dir/more/g%1=deeper").arg(i);
                home << QStringLiteral(".box/sub/a/b/f%1=x").arg(i);
            }
            QVERIFY(build(m_tree, tree) && build(m_home, home));
            const OwnedFd top = openDirectory(m_tree);
            const OwnedFd bottom = openDirectory(m_tree + QLatin1Char('/') + deep);
            const OwnedFd homeFd = openDirectory(m_home);
            const OwnedFd box = openDirectory(m_box);
            ChildProcess swapper(swapping({{top.get(), "sub\0swap"},
                                           {bottom.get(), "dir\0link"},
                                           {homeFd.get(), ".box\0.swap"},
                                           {box.get(), "sub\0swap"}}));
            QVERIFY(swapper.isReady());
            removeDirectoryContents(top.get());
            BoxDaemonBackupService().format_boxRootEntry(m_box);
            QVERIFY(exitedNormally(swapper.finish()));
            QCOMPARE(listing(m_sentinel), m_sentinelBefore);
            QVERIFY(isMountTarget(m_sentinel + QStringLiteral("/mounted")));
            QVERIFY(removeDirectoryContents(top.get()) && removeDirectoryContents(homeFd.get()));
        }
    }

    // Only a directory (or a link to one, removed as a link) is wiped. Text
    // from outside reaches the log as one escaped line, never as a format.
    void wipesOnlyADirectoryAndLogsEscaped()
    {
        for (const QString &entry : {QStringLiteral(".box=not a box"), QStringLiteral(".box->nowhere"),
                                     QStringLiteral(".box->../sentinel/kept")}) {
            QVERIFY(build(m_home, {entry}));
            QCOMPARE(BoxDaemonBackupService().format_boxRootEntry(m_box), 0);
            QCOMPARE(std::exchange(g_logged, {}),
                     QList<QByteArray>{"format_boxRootEntry[151] invalid entry: " + enc(m_box) + '\n'});
            QCOMPARE(entriesOf(m_home), QStringList{QStringLiteral(".box")});
            QVERIFY(unlink(enc(m_box).constData()) == 0);
        }
        QCOMPARE(listing(m_sentinel), m_sentinelBefore);
        QCOMPARE(
            BoxDaemonBackupService().format_boxRootEntry(m_root + QStringLiteral("/we\nird %n%s\x1b/.box")),
            0);
        QCOMPARE(g_logged, QList<QByteArray>{"format_boxRootEntry[151] invalid entry: " + enc(m_root)
                                             + "/we\\x0aird %n%s\\x1b/.box\n"});
        // No single entry: the reason is the look-up's own, whatever this thread's errno says.
        const QtMessageHandler shown = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &line) { g_lastDebug = line.toUtf8(); });
        errno = EPERM;
        const int result = BoxDaemonBackupService().format_boxRootEntry(m_home + QStringLiteral("/.."));
        qInstallMessageHandler(shown);
        QCOMPARE(result, -1);
        QCOMPARE(g_logged.takeLast(),
                 "format_boxRootEntry[185] removeRecursively failed: " + enc(m_home) + "/..\n");
        QCOMPARE(g_lastDebug, "removing the box root failed: " + enc(m_home) + "/.. - Invalid argument");
        // Called directly, not through the bus: no caller to admit, nothing wiped.
        QVERIFY(build(m_home, {QStringLiteral(".box/sub/")}));
        QCOMPARE(BoxDaemonBackupService().format_boxRootEntries(QStringLiteral("../x\n")), -1);
        QCOMPARE(g_logged.mid(1),
                 QList<QByteArray>{"format_boxRootEntries[219] called: strUserName = ../x\\x0a\n"});
        QVERIFY(QFileInfo(m_box + QStringLiteral("/sub")).isDir());
        // A box root that is a mount point: the mount is detached, never emptied, and the entry goes.
        QVERIFY(mountAt(m_box) && build(m_box, {QStringLiteral("sub/file=x")}));
        g_logged.clear();
        QCOMPARE(BoxDaemonBackupService().format_boxRootEntry(m_box), 0);
        QVERIFY(g_logged.isEmpty() && !isMountTarget(m_box) && !QFileInfo::exists(m_box));
    }

    // With the mount table and without: then only a change of device counts, "%s/.." in 4096 bytes.
    void mountStatus()
    {
        QVERIFY(build(m_root,
                      {QStringLiteral("plain/"), QStringLiteral("tmpfs/"), QStringLiteral("source/inner/"),
                       QStringLiteral("bind/"), QStringLiteral("link-to-tmpfs->tmpfs")}));
        QVERIFY(mountAt(m_root + QStringLiteral("/tmpfs")));
        QVERIFY(mountAt(m_root + QStringLiteral("/bind"), m_root + QStringLiteral("/source/inner")));
        QByteArray longest[2];
        for (int i = 0; i < 2; ++i) {
            const QByteArray base = enc(m_root) + "/long" + QByteArray::number(i);
            QVERIFY(mkdir(base.constData(), 0755) == 0);
            QVERIFY(makeDirectoryOfLength(openDirectory(QFile::decodeName(base)).get(), base, 4092 + i,
                                          longest[i])
                        .isValid());
            QVERIFY(mountAt(QFile::decodeName(longest[i])));
        }
        const QByteArray root = enc(m_root);
        const std::tuple<QByteArray, int, int> rows[] = {{root + "/plain", 0, 0},
                                                         {root + "/tmpfs", 1, 1},
                                                         {root + "/tmpfs/", 1, 1},
                                                         {root + "/bind", 1, 0},
                                                         {root + "/link-to-tmpfs", 1, 1},
                                                         {root + "/missing", 0, 0},
                                                         {"/", 1, 1},
                                                         {QByteArray(), 0, 0},
                                                         {longest[0], 1, 1},
                                                         {longest[1], 1, 0}};
        BoxDaemonBackupService service;
        for (const auto &[text, expected, expectedWithout] : rows) {
            const char *path = text.isNull() ? nullptr : text.constData();
            const int withTable = service.check_boxMountStatus(path);
            const MountTableReader previous =
                replaceMountTableReader([]() -> libmnt_table * { return nullptr; });
            const int fallback = service.check_boxMountStatus(path);
            replaceMountTableReader(previous);
            QVERIFY2(withTable == expected && fallback == expectedWithout, text.right(40).constData());
        }
    }

    // -1 below 256 bytes, without a buffer, for an ended process. A target is
    // cut to size - 1 bytes and terminated, nothing past the size written; one
    // of 4096 bytes or more is no path at all.
    void programPath()
    {
        ChildProcess ended([](int) { _exit(0); });
        ended.finish();
        BoxDaemonBackupService service;
        char buffer[4097];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(service.get_programPath(getpid(), buffer, 255), -1);
        QCOMPARE(service.get_programPath(ended.pid(), buffer, 256), -1);
        QCOMPARE(service.get_programPath(getpid(), nullptr, 256), -1);
        QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray(sizeof buffer, 'x'));

        const OwnedFd cat(open("/bin/cat", O_RDONLY | O_CLOEXEC));
        struct stat info = {};
        off_t offset = 0;
        QVERIFY(fstat(cat.get(), &info) == 0);
        for (const auto &[length, size] :
             {std::make_pair(400, 256), std::make_pair(4095, 4096), std::make_pair(4096, 4096)}) {
            QVERIFY(removeDirectoryContents(openDirectory(m_tree).get()));
            QByteArray path;
            const OwnedFd deep =
                makeDirectoryOfLength(openDirectory(m_tree).get(), enc(m_tree), length - 7, path);
            QVERIFY(
                sendfile(OwnedFd(openat(deep.get(), "runner", O_WRONLY | O_CREAT | O_CLOEXEC, 0755)).get(),
                         cat.get(), &(offset = 0), info.st_size)
                == info.st_size);
            ChildProcess runner([&deep](int readyFd) {
                char *const argv[] = {const_cast<char *>("runner"), nullptr};
                execveat(deep.get(), "runner", argv, environ, 0);
                (void)!write(readyFd, "!", 1);
                _exit(127);
            });
            QVERIFY(runner.isReady());
            std::memset(buffer, 'x', sizeof buffer);
            path += "/runner";
            QCOMPARE(service.get_programPath(runner.pid(), buffer, size), length < 4096 ? 0 : -1);
            QCOMPARE(QByteArray(buffer, sizeof buffer),
                     length < 4096 ? path.left(size - 1) + '\0' + QByteArray(int(sizeof buffer) - size, 'x')
                                   : QByteArray(sizeof buffer, 'x'));
        }
    }
};

// A private mount namespace, before any thread exists.
int main(int argc, char *argv[])
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        std::fputs("cannot get a private mount namespace (root needed)\n", stderr);
        return 1;
    }
    qputenv("ARKVANE_TEST_CALL_DEADLINE_MS", "2000"); // box-root look-ups waited for 200 ms
    QCoreApplication app(argc, argv);
    TestBackup test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_backup.moc"
