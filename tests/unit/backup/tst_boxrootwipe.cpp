#include "boxdaemonbackupservice.h"
#include "processkill.h"
#include "scratchtree.h"
#include "syslogcapture.h"
#include "treeremoval.h"
#include "ownedfd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <new>

namespace {

OwnedFd openDirectory(const QString &path)
{
    return OwnedFd(open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

QStringList entriesOf(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

bool exists(const QString &path)
{
    struct stat st {};
    return lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// A child that holds one file open until its pipe closes; then it exits 0.
class Holder
{
public:
    explicit Holder(const QString &file)
    {
        const QByteArray path = QFile::encodeName(file);
        int control[2];
        int ready[2];
        if (pipe2(control, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(control[1]);
            const int fd = open(path.constData(), O_RDONLY);
            (void)!write(ready[1], fd >= 0 ? "y" : "n", 1);
            char byte;
            while (read(control[0], &byte, 1) > 0) {
            }
            _exit(0);
        }
        close(control[0]);
        close(ready[1]);
        m_control.reset(control[1]);
        char answer = 'n';
        m_holding = read(ready[0], &answer, 1) == 1 && answer == 'y';
        close(ready[0]);
    }
    ~Holder() { finish(); }

    bool isHolding() const { return m_pid > 0 && m_holding; }

    // Lets a living holder exit and returns how it ended.
    int finish()
    {
        m_control.reset();
        int status = 0;
        if (m_pid > 0)
            waitpid(m_pid, &status, 0);
        m_pid = -1;
        return status;
    }

private:
    OwnedFd m_control;
    pid_t m_pid = -1;
    bool m_holding = false;
};

// Keeps exchanging pairs of entries until stopped (see the tree removal test).
class Swapper
{
public:
    struct Pair
    {
        int dirFd;
        const char *first;
        const char *second;
    };

    explicit Swapper(const std::vector<Pair> &pairs)
    {
        void *shared = mmap(nullptr, sizeof(std::atomic<int>), PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS, -1, 0);
        if (shared == MAP_FAILED)
            return;
        m_stop = new (shared) std::atomic<int>(0);
        int started[2];
        if (pipe2(started, O_CLOEXEC) != 0)
            return;
        m_pid = fork();
        if (m_pid == 0) {
            close(started[0]);
            bool reported = false;
            while (m_stop->load() == 0) {
                for (const Pair &pair : pairs)
                    renameat2(pair.dirFd, pair.first, pair.dirFd, pair.second, RENAME_EXCHANGE);
                if (!reported) {
                    (void)!write(started[1], "s", 1);
                    close(started[1]);
                    reported = true;
                }
            }
            _exit(0);
        }
        close(started[1]);
        char byte;
        (void)!read(started[0], &byte, 1);
        close(started[0]);
    }
    ~Swapper() { stop(); }

    bool isRunning() const { return m_pid > 0; }

    void stop()
    {
        if (m_stop)
            m_stop->store(1);
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        if (m_stop)
            munmap(m_stop, sizeof(std::atomic<int>));
        m_stop = nullptr;
    }

private:
    std::atomic<int> *m_stop = nullptr;
    pid_t m_pid = -1;
};

QByteArray line(const char *function, int site, const QByteArray &text)
{
    return QByteArray(function) + '[' + QByteArray::number(site) + "] " + text + '\n';
}

} // namespace

class TestBoxRootWipe : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_scratch.isValid());
        m_root = QFileInfo(m_scratch.path()).canonicalFilePath();
    }

    void cleanupTestCase() { ScratchTree::detachMountsBelow(m_root); }

    void init()
    {
        m_home = m_root + QStringLiteral("/home");
        m_box = m_home + QStringLiteral("/.box");
        m_sentinel = m_root + QStringLiteral("/sentinel");
        QVERIFY(ScratchTree::makeDirectories(m_home));
        QVERIFY(ScratchTree::makeDirectories(m_sentinel + QStringLiteral("/inner")));
        QVERIFY(ScratchTree::makeDirectories(m_sentinel + QStringLiteral("/mounted")));
        QVERIFY(ScratchTree::writeFile(m_sentinel + QStringLiteral("/kept"), "sentinel"));
        QVERIFY(ScratchTree::writeFile(m_sentinel + QStringLiteral("/inner/deeper"), "sentinel inner"));
        QVERIFY(ScratchTree::mountTmpfs(m_sentinel + QStringLiteral("/mounted")));
        QVERIFY(ScratchTree::writeFile(m_sentinel + QStringLiteral("/mounted/on-tmpfs"), "sentinel tmpfs"));
        m_sentinelBefore = ScratchTree::listing(m_sentinel);
        SyslogCapture::clear();
    }

    void cleanup()
    {
        ScratchTree::removeTree(m_home);
        ScratchTree::removeTree(m_sentinel);
        ScratchTree::removeTree(m_root + QStringLiteral("/outside"));
    }

    void missingBoxRootIsAnInvalidEntry()
    {
        QCOMPARE(wipe(m_box), 0);
        QCOMPARE(logged(), QList<QByteArray>{invalidEntry(m_box)});
    }

    void boxRootThatIsNoDirectoryIsLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("file") << QStringLiteral("file");
        QTest::newRow("broken link") << QStringLiteral("broken link");
        QTest::newRow("link to a file") << QStringLiteral("link to a file");
    }
    void boxRootThatIsNoDirectoryIsLeftAlone()
    {
        QFETCH(QString, kind);
        if (kind == QLatin1String("file"))
            QVERIFY(ScratchTree::writeFile(m_box, "not a box"));
        else if (kind == QLatin1String("broken link"))
            QVERIFY(ScratchTree::makeSymlink(m_root + QStringLiteral("/nowhere"), m_box));
        else
            QVERIFY(ScratchTree::makeSymlink(m_sentinel + QStringLiteral("/kept"), m_box));

        QCOMPARE(wipe(m_box), 0);
        QCOMPARE(logged(), QList<QByteArray>{invalidEntry(m_box)});
        QVERIFY(exists(m_box));
        QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
    }

    void boxRootLinkIsRemovedAsALink()
    {
        QVERIFY(ScratchTree::makeSymlink(m_sentinel, m_box));
        QCOMPARE(wipe(m_box), 0);
        QCOMPARE(logged(), QList<QByteArray>());
        QVERIFY(!exists(m_box));
        QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
        QVERIFY(ScratchTree::isMountTarget(m_sentinel + QStringLiteral("/mounted")));
    }

    void wipesTheWholeBoxRoot_data()
    {
        QTest::addColumn<QString>("asPassed");
        QTest::newRow("plain") << QString();
        QTest::newRow("trailing slash") << QStringLiteral("/");
        QTest::newRow("double slash") << QStringLiteral("//");
    }
    void wipesTheWholeBoxRoot()
    {
        QFETCH(QString, asPassed);
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/Docs/deep/deeper")));
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/.hidden/inner")));
        QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/top"), "x"));
        QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/Docs/deep/deeper/file"), "y"));
        QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/.hidden/inner/file"), "z"));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel, m_box + QStringLiteral("/linked")));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel, m_box + QStringLiteral("/Docs/linked")));
        QVERIFY(ScratchTree::makeFifo(m_box + QStringLiteral("/fifo")));

        const QString path = m_box + asPassed;
        QCOMPARE(wipe(path), 0);
        QCOMPARE(logged(), QList<QByteArray>());
        QVERIFY(!exists(m_box));
        QVERIFY(QFileInfo(m_home).isDir());
        QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
    }

    void detachesMountsOnVisibleSubdirectories()
    {
        const QString source = m_root + QStringLiteral("/outside/source");
        QVERIFY(ScratchTree::makeDirectories(source));
        QVERIFY(ScratchTree::writeFile(source + QStringLiteral("/file"), "bound"));
        const QStringList sourceBefore = ScratchTree::listing(source);
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/Bound")));
        QVERIFY(ScratchTree::mountTmpfs(m_box + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/tmpfs/file"), "t"));
        QVERIFY(ScratchTree::bindMount(source, m_box + QStringLiteral("/Bound")));

        QCOMPARE(wipe(m_box), 0);
        QCOMPARE(logged(), QList<QByteArray>());
        QVERIFY(!exists(m_box));
        QVERIFY(!ScratchTree::isMountTarget(m_box + QStringLiteral("/tmpfs")));
        QVERIFY(!ScratchTree::isMountTarget(m_box + QStringLiteral("/Bound")));
        QCOMPARE(ScratchTree::listing(source), sourceBefore);
    }

    // The loop never visits hidden names, so the mount there is still in
    // place when the removal starts: it is left mounted and whole.
    void leavesHiddenMountWholeAndFails()
    {
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/.hidden")));
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/visible")));
        QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/visible/file"), "v"));
        QVERIFY(ScratchTree::mountTmpfs(m_box + QStringLiteral("/.hidden")));
        QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/.hidden/file"), "h"));

        QCOMPARE(wipe(m_box), -1);
        QCOMPARE(logged(), QList<QByteArray>{removalFailed(m_box)});
        QVERIFY(ScratchTree::isMountTarget(m_box + QStringLiteral("/.hidden")));
        QCOMPARE(entriesOf(m_box + QStringLiteral("/.hidden")), QStringList{QStringLiteral("file")});
        QCOMPARE(entriesOf(m_box), QStringList{QStringLiteral(".hidden")});
    }

    // A box root that is itself a mount point is emptied, but its entry
    // cannot go while the mount is there.
    void boxRootThatIsAMountPointIsEmptiedAndFails()
    {
        QVERIFY(ScratchTree::makeDirectories(m_box));
        QVERIFY(ScratchTree::mountTmpfs(m_box));
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/sub")));
        QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/sub/file"), "x"));

        QCOMPARE(wipe(m_box), -1);
        QCOMPARE(logged(), QList<QByteArray>{removalFailed(m_box)});
        QVERIFY(ScratchTree::isMountTarget(m_box));
        QCOMPARE(entriesOf(m_box), QStringList());
    }

    void subdirectoryLinkToAMountPointIsOnlyRemoved()
    {
        QVERIFY(ScratchTree::makeDirectories(m_box));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel + QStringLiteral("/mounted"), m_box + QStringLiteral("/link")));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel + QStringLiteral("/mounted/"), m_box + QStringLiteral("/slash")));

        QCOMPARE(wipe(m_box), 0);
        QCOMPARE(logged(), QList<QByteArray>());
        QVERIFY(!exists(m_box));
        QVERIFY(ScratchTree::isMountTarget(m_sentinel + QStringLiteral("/mounted")));
        QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
    }

    // Names from outside reach the log as one escaped line, never as a format.
    void escapesCallerTextInTheLog()
    {
        const QString odd = m_root + QStringLiteral("/we\nird %n%s\x1b/.box");
        QCOMPARE(wipe(odd), 0);
        const QByteArray escaped = QFile::encodeName(m_root) + "/we\\x0aird %n%s\\x1b/.box";
        QCOMPARE(logged(), QList<QByteArray>{line("format_boxRootEntry", 151, "invalid entry: " + escaped)});
    }

    void refusesPathsThatNameNoSingleEntry_data()
    {
        QTest::addColumn<QString>("relative");
        QTest::newRow("dot dot") << QStringLiteral("/home/..");
        QTest::newRow("dot") << QStringLiteral("/home/.");
        QTest::newRow("dot dot slash") << QStringLiteral("/home/../");
    }
    void refusesPathsThatNameNoSingleEntry()
    {
        QFETCH(QString, relative);
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/sub")));
        const QStringList before = ScratchTree::listing(m_root);
        const QString path = m_root + relative;
        QCOMPARE(wipe(path), -1);
        QCOMPARE(logged(), QList<QByteArray>{removalFailed(path)});
        QCOMPARE(ScratchTree::listing(m_root), before);
    }

    // The home on a tmpfs of its own, for speed (see the tree removal test).
    void wipesTreeNestedHundredThousandLevels()
    {
        QVERIFY(ScratchTree::mountTmpfs(m_home));
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/sub")));
        const OwnedFd sub = openDirectory(m_box + QStringLiteral("/sub"));
        QVERIFY(ScratchTree::makeNestedChain(sub.get(), 100000, "n"));
        QCOMPARE(wipe(m_box), 0);
        QCOMPARE(logged(), QList<QByteArray>());
        QVERIFY(!exists(m_box));
    }

    // Only subdirectories are scanned: a holder of a file directly in the box
    // root lives on, a holder below a subdirectory is ended, the caller (this
    // process, for a direct call) is spared.
    void endsHoldersInSubdirectoriesAndSparesTheCaller()
    {
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/sub/deeper")));
        if (kill_allProcessByPath(m_box + QStringLiteral("/sub"), getpid()) != 0)
            QSKIP("the process scan does not run yet");
        const QString inSub = m_box + QStringLiteral("/sub/deeper/held");
        const QString atTop = m_box + QStringLiteral("/top");
        QVERIFY(ScratchTree::writeFile(inSub, "held"));
        QVERIFY(ScratchTree::writeFile(atTop, "held"));
        Holder below(inSub);
        Holder top(atTop);
        QVERIFY(below.isHolding());
        QVERIFY(top.isHolding());
        // Opened after the forks, so no holder inherits it.
        const OwnedFd own(open(QFile::encodeName(inSub).constData(), O_RDONLY | O_CLOEXEC));
        QVERIFY(own.isValid());

        QCOMPARE(wipe(m_box), 0);
        QVERIFY(!exists(m_box));
        const int belowStatus = below.finish();
        QVERIFY(WIFSIGNALED(belowStatus));
        QCOMPARE(WTERMSIG(belowStatus), SIGKILL);
        const int topStatus = top.finish();
        QVERIFY(WIFEXITED(topStatus));
    }

    // Called directly, not through the bus: there is no caller to admit.
    void busMethodsRefuseOutsideABusCall()
    {
        QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/sub")));
        BoxDaemonBackupService service;
        QCOMPARE(service.format_boxRootEntries(QStringLiteral("../x\n")), -1);
        QCOMPARE(service.format_allBoxRootEntries(), -1);
        QCOMPARE(service.get_allBoxRootEntries(), QStringList());
        QCOMPARE(logged(), (QList<QByteArray>{
                               line("format_boxRootEntries", 219, "called: strUserName = ../x\\x0a"),
                               line("get_allBoxRootEntries", 121, "called"),
                           }));
        QVERIFY(QFileInfo(m_box + QStringLiteral("/sub")).isDir());
    }

    void discoversBoxRootsInDatabaseOrder()
    {
        const QString h1 = m_home + QStringLiteral("/h1");
        const QString h2 = m_home + QStringLiteral("/h2");
        const QString h3 = m_home + QStringLiteral("/h3");
        const QString h4 = m_home + QStringLiteral("/h4");
        const QString h5 = m_home + QStringLiteral("/h5");
        QVERIFY(ScratchTree::makeDirectories(h1 + QStringLiteral("/.box")));
        QVERIFY(ScratchTree::makeDirectories(h2));
        QVERIFY(ScratchTree::writeFile(h2 + QStringLiteral("/.box"), "a file"));
        QVERIFY(ScratchTree::makeDirectories(h3));
        QVERIFY(ScratchTree::makeSymlink(m_root + QStringLiteral("/nowhere"), h3 + QStringLiteral("/.box")));
        QVERIFY(ScratchTree::makeDirectories(h4));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel, h4 + QStringLiteral("/.box")));
        QVERIFY(ScratchTree::makeDirectories(h5 + QStringLiteral("/.box")));

        const QString database = m_root + QStringLiteral("/passwd");
        QStringList entries{
            QStringLiteral("alice:x:1001:1001::%1:/bin/sh").arg(h1),
            QStringLiteral("bob:x:1002:1002::%1:/bin/sh").arg(h2),
            QStringLiteral("carol:x:1003:1003::%1:/bin/sh").arg(h1),
            QStringLiteral("dave:x:1004:1004::%1:/bin/sh").arg(h3),
            QStringLiteral("erin:x:1005:1005::%1:/bin/sh").arg(h4),
            QStringLiteral("frank:x:1006:1006::%1/:/bin/sh").arg(h5),
            QStringLiteral("gina:x:1007:1007:::/bin/sh"),
            QStringLiteral("hank:x:1008:1008::%1/missing:/bin/sh").arg(m_home),
        };
        QVERIFY(ScratchTree::writeFile(database, entries.join(QLatin1Char('\n')).toUtf8() + '\n'));
        QVERIFY(ScratchTree::bindMount(database, QStringLiteral("/etc/passwd")));
        BoxDaemonBackupService service;
        const QStringList found = service.get_allBoxRootEntriesInner();
        umount2("/etc/passwd", MNT_DETACH);

        const QString box = QStringLiteral("/.box");
        QCOMPARE(found, (QStringList{h1 + box, h1 + box, h4 + box, h5 + QStringLiteral("/") + box}));
        QCOMPARE(logged(), QList<QByteArray>());
    }

    // While the wipe runs, another process keeps exchanging the box root and
    // one of its subdirectories with links to the sentinel.
    void racingLinkSwapsNeverReachTheSentinel()
    {
        constexpr int kRuns = 200;
        int failed = 0;
        for (int run = 0; run < kRuns; ++run) {
            QVERIFY(ScratchTree::makeDirectories(m_box + QStringLiteral("/sub/a/b")));
            for (int i = 0; i < 10; ++i)
                QVERIFY(ScratchTree::writeFile(m_box + QStringLiteral("/sub/a/b/f%1").arg(i), "x"));
            QVERIFY(ScratchTree::makeSymlink(m_sentinel, m_box + QStringLiteral("/swap")));
            QVERIFY(ScratchTree::makeSymlink(m_sentinel, m_home + QStringLiteral("/.swap")));
            const OwnedFd home = openDirectory(m_home);
            const OwnedFd box = openDirectory(m_box);
            Swapper swapper({{home.get(), ".box", ".swap"}, {box.get(), "sub", "swap"}});
            QVERIFY(swapper.isRunning());
            if (wipe(m_box) != 0)
                ++failed;
            swapper.stop();
            QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
            QVERIFY(ScratchTree::isMountTarget(m_sentinel + QStringLiteral("/mounted")));
            QVERIFY(removeDirectoryContents(home.get()));
            SyslogCapture::clear();
        }
        qInfo("%d of %d racing wipes reported failure", failed, kRuns);
    }

private:
    int wipe(const QString &boxRoot)
    {
        BoxDaemonBackupService service;
        return service.format_boxRootEntry(boxRoot);
    }

    // The lines of this test, every one at LOG_INFO. The process scan's own
    // failure line is left out: whether the scan runs is not under test here.
    QList<QByteArray> logged()
    {
        QList<QByteArray> texts;
        for (const SyslogCapture::Line &captured : SyslogCapture::lines()) {
            if (captured.priority != LOG_INFO)
                texts.append("wrong priority: " + captured.text);
            else if (!captured.text.contains("] kill_allProcessByPath failed: "))
                texts.append(captured.text);
        }
        return texts;
    }

    static QByteArray invalidEntry(const QString &path)
    {
        return line("format_boxRootEntry", 151, "invalid entry: " + QFile::encodeName(path));
    }
    static QByteArray removalFailed(const QString &path)
    {
        return line("format_boxRootEntry", 185, "removeRecursively failed: " + QFile::encodeName(path));
    }

    QTemporaryDir m_scratch{ScratchTree::temporaryTemplate()};
    QString m_root;
    QString m_home;
    QString m_box;
    QString m_sentinel;
    QStringList m_sentinelBefore;
};

ARKVANE_MOUNTING_TEST_MAIN(TestBoxRootWipe)
#include "tst_boxrootwipe.moc"
