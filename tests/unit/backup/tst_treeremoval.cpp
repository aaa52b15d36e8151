#include "boxdaemonbackupservice.h"
#include "childprocess.h"
#include "scratchtree.h"
#include "syslogcapture.h"
#include "treeremoval.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <functional>
#include <utility>
#include <vector>

namespace {

OwnedFd openDirectory(const QString &path)
{
    return OwnedFd(open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool removeBelow(const QString &path)
{
    const OwnedFd dir = openDirectory(path);
    return dir.isValid() && removeDirectoryContents(dir.get());
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

struct Swap
{
    int dirFd;
    const char *first;
    const char *second;
};

// For a child process: keeps exchanging pairs of entries (a directory and a
// symbolic link to the sentinel) with renameat2(RENAME_EXCHANGE) until its
// input closes; ready after the first round.
std::function<void(int)> swapping(const std::vector<Swap> &pairs)
{
    return [pairs](int readyFd) {
        fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
        char byte;
        while (read(STDIN_FILENO, &byte, 1) != 0) {
            for (const Swap &pair : pairs)
                renameat2(pair.dirFd, pair.first, pair.dirFd, pair.second, RENAME_EXCHANGE);
            if (readyFd >= 0)
                close(std::exchange(readyFd, -1));
        }
        _exit(0);
    };
}

QByteArray line(const char *function, int site, const QByteArray &text)
{
    return QByteArray(function) + '[' + QByteArray::number(site) + "] " + text + '\n';
}

int wipe(const QString &boxRoot)
{
    BoxDaemonBackupService service;
    return service.format_boxRootEntry(boxRoot);
}

// The system-log lines so far, every one at LOG_INFO. The process scan's own
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

} // namespace

// The tree remover and the box-root wipe built on it: every kind of entry,
// mounts, a depth past any stack, links swapped in while they run, box roots
// that are no directory or a mount point. Each test has a tmpfs of its own,
// with a sentinel tree (and a mount in it) that nothing may touch.
class TestTreeRemoval : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch{ScratchTree::temporaryTemplate()};
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
        QVERIFY(ScratchTree::mountTmpfs(m_root));
        m_tree = m_root + QStringLiteral("/tree");
        m_home = m_root + QStringLiteral("/home");
        m_box = m_home + QStringLiteral("/.box");
        m_sentinel = m_root + QStringLiteral("/sentinel");
        QVERIFY(ScratchTree::build(m_root, {QStringLiteral("tree/"), QStringLiteral("home/"),
                                            QStringLiteral("sentinel/kept=sentinel file"),
                                            QStringLiteral("sentinel/inner/deeper=sentinel inner"),
                                            QStringLiteral("sentinel/mounted/")}));
        QVERIFY(ScratchTree::mountTmpfs(m_sentinel + QStringLiteral("/mounted")));
        QVERIFY(ScratchTree::build(m_sentinel, {QStringLiteral("mounted/on-tmpfs=sentinel tmpfs")}));
        m_sentinelBefore = ScratchTree::listing(m_sentinel);
        SyslogCapture::clear();
    }

    void cleanup() { ScratchTree::detachMount(m_root); }

    void removesEveryKindOfEntryWithoutFollowingLinks()
    {
        const QString &sentinel = m_sentinel;
        QVERIFY(ScratchTree::build(m_tree, {
            QStringLiteral("empty/"), QStringLiteral("file=x"), QStringLiteral("a/b/c/file=y"),
            QStringLiteral(".hidden/d/.file=z"), QStringLiteral("locked/inside/file=w"),
            QStringLiteral("a/fifo|"), QStringLiteral("link-to-dir->") + sentinel,
            QStringLiteral("a/link-to-file->") + sentinel + QStringLiteral("/kept"),
            QStringLiteral("a/b/link-slash->") + sentinel + QStringLiteral("/"),
            QStringLiteral("a/relative-link->../../sentinel"), QStringLiteral("dangling->/nowhere"),
            QStringLiteral("a/b/c/root->/")}));
        QVERIFY(chmod(QFile::encodeName(inTree("locked")).constData(), 0) == 0);
        QVERIFY(mknod(QFile::encodeName(inTree("a/socket")).constData(), S_IFSOCK | 0600, 0) == 0);

        QVERIFY(removeBelow(m_tree));
        QVERIFY(QFileInfo(m_tree).isDir());
        QCOMPARE(entriesOf(m_tree), QStringList());
        QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
        // An empty directory is done at once.
        QVERIFY(removeBelow(m_tree));
    }

    // Mounts below are other file systems (a bind mount from the same one
    // included): left whole, still mounted, and the result says so.
    void leavesOtherMountsWhole()
    {
        QVERIFY(ScratchTree::build(m_tree, {QStringLiteral("tmpfs/"), QStringLiteral("x/y/bind/"),
                                            QStringLiteral("plain/z/file=gone"), QStringLiteral("x/file=gone"),
                                            QStringLiteral("mounted-file=target")}));
        QVERIFY(ScratchTree::mountTmpfs(inTree("tmpfs")));
        QVERIFY(ScratchTree::build(m_tree, {QStringLiteral("tmpfs/kept=on tmpfs")}));
        QVERIFY(ScratchTree::bindMount(m_sentinel + QStringLiteral("/inner"), inTree("x/y/bind")));
        QVERIFY(ScratchTree::bindMount(m_sentinel + QStringLiteral("/kept"), inTree("mounted-file")));

        QVERIFY(!removeBelow(m_tree));
        for (const char *mount : {"tmpfs", "x/y/bind", "mounted-file"})
            QVERIFY2(ScratchTree::isMountTarget(inTree(mount)), mount);
        QCOMPARE(entriesOf(inTree("tmpfs")), QStringList{QStringLiteral("kept")});
        QCOMPARE(entriesOf(m_tree), (QStringList{QStringLiteral("mounted-file"), QStringLiteral("tmpfs"), QStringLiteral("x")}));
        QCOMPARE(entriesOf(inTree("x")), QStringList{QStringLiteral("y")});
        QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
    }

    void removesTreeNestedHundredThousandLevels()
    {
        const OwnedFd tree = openDirectory(m_tree);
        QVERIFY(ScratchTree::makeNestedChain(tree.get(), 100000, "n"));
        QVERIFY(ScratchTree::build(m_tree, {QStringLiteral("beside=x")}));
        QVERIFY(removeDirectoryContents(tree.get()));
        QCOMPARE(entriesOf(m_tree), QStringList());
    }

    // While a tree is removed and a box root wiped, another process keeps
    // exchanging directories (at the top, deep below the levels that keep
    // their descriptor, and the box root itself) with links to the sentinel.
    // The sentinel shares their mount: only the refusal to follow links keeps
    // it whole.
    void racingLinkSwapsNeverReachTheSentinel()
    {
        const QString deep = QStringLiteral("sub") + QStringLiteral("/c").repeated(70);
        for (int run = 0; run < 200; ++run) {
            QStringList tree{QStringLiteral("swap->") + m_sentinel, deep + QStringLiteral("/link->") + m_sentinel};
            QStringList home{QStringLiteral(".box/swap->") + m_sentinel, QStringLiteral(".swap->") + m_sentinel};
            for (int i = 0; i < 10; ++i) {
                tree << QStringLiteral("sub/f%1=top").arg(i) << deep + QStringLiteral("/dir/more/g%1=deeper").arg(i);
                home << QStringLiteral(".box/sub/a/b/f%1=x").arg(i);
            }
            QVERIFY(ScratchTree::build(m_tree, tree) && ScratchTree::build(m_home, home));
            const OwnedFd top = openDirectory(m_tree);
            const OwnedFd bottom = openDirectory(m_tree + QLatin1Char('/') + deep);
            const OwnedFd homeFd = openDirectory(m_home);
            const OwnedFd box = openDirectory(m_box);
            ChildProcess swapper(swapping({{top.get(), "sub", "swap"}, {bottom.get(), "dir", "link"},
                                           {homeFd.get(), ".box", ".swap"}, {box.get(), "sub", "swap"}}));
            QVERIFY(swapper.isReady());
            removeDirectoryContents(top.get());
            wipe(m_box);
            QVERIFY(exitedNormally(swapper.finish()));
            QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
            QVERIFY(ScratchTree::isMountTarget(m_sentinel + QStringLiteral("/mounted")));
            QVERIFY(removeDirectoryContents(top.get()) && removeDirectoryContents(homeFd.get()));
        }
    }

    // Only a directory (or a link to one, removed as a link) is wiped.
    void boxRootThatIsNoDirectoryIsLeftAlone_data()
    {
        QTest::addColumn<QString>("entry");
        QTest::newRow("file") << QStringLiteral(".box=not a box");
        QTest::newRow("broken link") << QStringLiteral(".box->nowhere");
        QTest::newRow("link to a file") << QStringLiteral(".box->../sentinel/kept");
    }
    void boxRootThatIsNoDirectoryIsLeftAlone()
    {
        QFETCH(QString, entry);
        QVERIFY(ScratchTree::build(m_home, {entry}));
        QCOMPARE(wipe(m_box), 0);
        QCOMPARE(logged(), QList<QByteArray>{line("format_boxRootEntry", 151, "invalid entry: " + QFile::encodeName(m_box))});
        QVERIFY(exists(m_box));
        QCOMPARE(ScratchTree::listing(m_sentinel), m_sentinelBefore);
    }

    // A box root that is itself a mount point is emptied, but its entry
    // cannot go while the mount is there.
    void boxRootThatIsAMountPointIsEmptiedAndFails()
    {
        QVERIFY(ScratchTree::build(m_home, {QStringLiteral(".box/")}));
        QVERIFY(ScratchTree::mountTmpfs(m_box));
        QVERIFY(ScratchTree::build(m_box, {QStringLiteral("sub/file=x")}));

        QCOMPARE(wipe(m_box), -1);
        QCOMPARE(logged(), QList<QByteArray>{line("format_boxRootEntry", 185, "removeRecursively failed: " + QFile::encodeName(m_box))});
        QVERIFY(ScratchTree::isMountTarget(m_box));
        QCOMPARE(entriesOf(m_box), QStringList());
    }

    // Text from outside reaches the log as one escaped line, never as a format.
    void escapesCallerTextInTheLog()
    {
        const QString odd = m_root + QStringLiteral("/we\nird %n%s\x1b/.box");
        QCOMPARE(wipe(odd), 0);
        const QByteArray escaped = QFile::encodeName(m_root) + "/we\\x0aird %n%s\\x1b/.box";
        QCOMPARE(logged(), QList<QByteArray>{line("format_boxRootEntry", 151, "invalid entry: " + escaped)});

        // Called directly, not through the bus: no caller to admit, nothing wiped.
        SyslogCapture::clear();
        QVERIFY(ScratchTree::build(m_home, {QStringLiteral(".box/sub/")}));
        BoxDaemonBackupService service;
        QCOMPARE(service.format_boxRootEntries(QStringLiteral("../x\n")), -1);
        QCOMPARE(logged(), QList<QByteArray>{line("format_boxRootEntries", 219, "called: strUserName = ../x\\x0a")});
        QVERIFY(QFileInfo(m_box + QStringLiteral("/sub")).isDir());
    }
};

ARKVANE_MOUNTING_TEST_MAIN(TestTreeRemoval)
#include "tst_treeremoval.moc"
