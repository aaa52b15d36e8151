#include "scratchtree.h"
#include "treeremoval.h"
#include "ownedfd.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>

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

bool makeSocket(const QString &path)
{
    const OwnedFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const QByteArray name = QFile::encodeName(path);
    if (!fd.isValid() || name.size() >= int(sizeof address.sun_path))
        return false;
    memcpy(address.sun_path, name.constData(), name.size());
    return bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
}

// A child process that, until told to stop, keeps exchanging pairs of
// entries (a directory and a symbolic link to the sentinel) with
// renameat2(RENAME_EXCHANGE). It reports through a pipe once it has started.
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

} // namespace

class TestTreeRemoval : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init()
    {
        QVERIFY(m_scratch.isValid());
        m_root = QFileInfo(m_scratch.path()).canonicalFilePath();
        m_tree = m_root + QStringLiteral("/tree");
        m_sentinel = m_root + QStringLiteral("/sentinel");
        QVERIFY(ScratchTree::makeDirectories(m_tree));
        QVERIFY(ScratchTree::makeDirectories(m_sentinel + QStringLiteral("/inner")));
        QVERIFY(ScratchTree::writeFile(m_sentinel + QStringLiteral("/kept"), "sentinel file"));
        QVERIFY(ScratchTree::writeFile(m_sentinel + QStringLiteral("/inner/deeper"), "sentinel inner"));
    }

    void cleanup()
    {
        ScratchTree::removeTree(m_tree);
        ScratchTree::removeTree(m_sentinel);
        ScratchTree::removeTree(m_root + QStringLiteral("/arena"));
    }

    void removesEveryKindOfEntryWithoutFollowingLinks()
    {
        const QStringList sentinelBefore = ScratchTree::listing(m_sentinel);
        QVERIFY(ScratchTree::makeDirectories(m_tree + QStringLiteral("/a/b/c")));
        QVERIFY(ScratchTree::makeDirectories(m_tree + QStringLiteral("/.hidden/d")));
        QVERIFY(ScratchTree::makeDirectories(m_tree + QStringLiteral("/empty")));
        QVERIFY(ScratchTree::makeDirectories(m_tree + QStringLiteral("/locked/inside")));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/file"), "x"));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/a/b/c/file"), "y"));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/.hidden/d/.file"), "z"));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/locked/inside/file"), "w"));
        QVERIFY(chmod(QFile::encodeName(m_tree + QStringLiteral("/locked")).constData(), 0) == 0);
        QVERIFY(ScratchTree::makeFifo(m_tree + QStringLiteral("/a/fifo")));
        QVERIFY(makeSocket(m_tree + QStringLiteral("/a/socket")));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel, m_tree + QStringLiteral("/link-to-dir")));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel + QStringLiteral("/kept"), m_tree + QStringLiteral("/a/link-to-file")));
        QVERIFY(ScratchTree::makeSymlink(m_sentinel + QStringLiteral("/"), m_tree + QStringLiteral("/a/b/link-slash")));
        QVERIFY(ScratchTree::makeSymlink(QStringLiteral("../../sentinel"), m_tree + QStringLiteral("/a/relative-link")));
        QVERIFY(ScratchTree::makeSymlink(QStringLiteral("/nowhere"), m_tree + QStringLiteral("/dangling")));
        QVERIFY(ScratchTree::makeSymlink(QStringLiteral("/"), m_tree + QStringLiteral("/a/b/c/root")));

        QVERIFY(removeBelow(m_tree));
        QVERIFY(QFileInfo(m_tree).isDir());
        QCOMPARE(entriesOf(m_tree), QStringList());
        QCOMPARE(ScratchTree::listing(m_sentinel), sentinelBefore);
    }

    void emptyDirectoryIsDone()
    {
        QVERIFY(removeBelow(m_tree));
        QVERIFY(QFileInfo(m_tree).isDir());
    }

    void refusesWhatIsNoDirectory()
    {
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/file"), "x"));
        const OwnedFd file(open(QFile::encodeName(m_tree + QStringLiteral("/file")).constData(), O_RDONLY | O_CLOEXEC));
        QVERIFY(!removeDirectoryContents(file.get()));
        QVERIFY(!removeDirectoryContents(-1));
        QVERIFY(QFileInfo::exists(m_tree + QStringLiteral("/file")));
    }

    // Mounts below are other file systems (a bind mount from the same one
    // included): left whole, still mounted, and the result says so.
    void leavesOtherMountsWhole()
    {
        const QString source = m_sentinel + QStringLiteral("/inner");
        const QStringList sentinelBefore = ScratchTree::listing(m_sentinel);
        QVERIFY(ScratchTree::makeDirectories(m_tree + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::makeDirectories(m_tree + QStringLiteral("/x/y/bind")));
        QVERIFY(ScratchTree::makeDirectories(m_tree + QStringLiteral("/plain/z")));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/plain/z/file"), "gone"));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/x/file"), "gone"));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/mounted-file"), "target"));
        QVERIFY(ScratchTree::mountTmpfs(m_tree + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/tmpfs/kept"), "on tmpfs"));
        QVERIFY(ScratchTree::bindMount(source, m_tree + QStringLiteral("/x/y/bind")));
        QVERIFY(ScratchTree::bindMount(m_sentinel + QStringLiteral("/kept"), m_tree + QStringLiteral("/mounted-file")));

        QVERIFY(!removeBelow(m_tree));

        QVERIFY(ScratchTree::isMountTarget(m_tree + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::isMountTarget(m_tree + QStringLiteral("/x/y/bind")));
        QVERIFY(ScratchTree::isMountTarget(m_tree + QStringLiteral("/mounted-file")));
        QCOMPARE(entriesOf(m_tree + QStringLiteral("/tmpfs")), QStringList{QStringLiteral("kept")});
        QCOMPARE(entriesOf(m_tree), (QStringList{QStringLiteral("mounted-file"), QStringLiteral("tmpfs"), QStringLiteral("x")}));
        QCOMPARE(entriesOf(m_tree + QStringLiteral("/x")), QStringList{QStringLiteral("y")});
        ScratchTree::detachMountsBelow(m_tree);
        QCOMPARE(ScratchTree::listing(m_sentinel), sentinelBefore);
    }

    // On a tmpfs of its own: a hundred thousand directories on a journalled
    // disk take far longer to make and remove, and prove nothing more.
    void removesTreeNestedHundredThousandLevels()
    {
        QVERIFY(ScratchTree::mountTmpfs(m_tree));
        const OwnedFd tree = openDirectory(m_tree);
        QVERIFY(ScratchTree::makeNestedChain(tree.get(), 100000, "n"));
        QVERIFY(ScratchTree::writeFile(m_tree + QStringLiteral("/beside"), "x"));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(removeDirectoryContents(tree.get()));
        qInfo("100,000 levels removed in %lld ms", static_cast<long long>(timer.elapsed()));
        QCOMPARE(entriesOf(m_tree), QStringList());
    }

    // While the tree is removed, another process keeps exchanging
    // directories (at the top and deep below the levels that keep their
    // descriptor) with links to the sentinel. The sentinel never loses a
    // thing. Tree and sentinel share one tmpfs: on the same mount, only the
    // refusal to follow links keeps the sentinel safe (and a journalled disk
    // makes 200 rounds of renames slow).
    void racingLinkSwapsNeverReachTheSentinel()
    {
        const QString arena = m_root + QStringLiteral("/arena");
        QVERIFY(ScratchTree::makeDirectories(arena));
        QVERIFY(ScratchTree::mountTmpfs(arena));
        const QString tree = arena + QStringLiteral("/tree");
        const QString sentinel = arena + QStringLiteral("/sentinel");
        QVERIFY(ScratchTree::makeDirectories(tree));
        QVERIFY(ScratchTree::makeDirectories(sentinel + QStringLiteral("/inner")));
        QVERIFY(ScratchTree::writeFile(sentinel + QStringLiteral("/kept"), "sentinel file"));
        QVERIFY(ScratchTree::writeFile(sentinel + QStringLiteral("/inner/deeper"), "sentinel inner"));
        const QStringList sentinelBefore = ScratchTree::listing(sentinel);

        int failedRuns = 0;
        constexpr int kRuns = 200;
        for (int run = 0; run < kRuns; ++run) {
            const QString deepPath = buildRaceTree(tree, sentinel);
            QVERIFY(!deepPath.isEmpty());
            const OwnedFd top = openDirectory(tree);
            const OwnedFd deep = openDirectory(deepPath);
            QVERIFY(top.isValid() && deep.isValid());
            Swapper swapper({{top.get(), "sub", "swap"}, {deep.get(), "dir", "link"}});
            QVERIFY(swapper.isRunning());
            if (!removeDirectoryContents(top.get()))
                ++failedRuns;
            swapper.stop();
            QCOMPARE(ScratchTree::listing(sentinel), sentinelBefore);
            QVERIFY(removeDirectoryContents(top.get()));
        }
        qInfo("%d of %d racing removals were left incomplete", failedRuns, kRuns);
        ScratchTree::removeTree(arena);
    }

private:
    // A tree whose subdirectory "sub" leads 70 levels down to a directory
    // holding "dir" (with files) beside "link" (to the sentinel); "swap" at
    // the top links to the sentinel too. Returns the 70th level's path.
    static QString buildRaceTree(const QString &tree, const QString &sentinel)
    {
        QString deep = tree + QStringLiteral("/sub");
        for (int level = 0; level < 70; ++level)
            deep += QStringLiteral("/c");
        if (!ScratchTree::makeDirectories(deep + QStringLiteral("/dir/more")))
            return {};
        for (int i = 0; i < 20; ++i) {
            if (!ScratchTree::writeFile(tree + QStringLiteral("/sub/f%1").arg(i), "top")
                || !ScratchTree::writeFile(deep + QStringLiteral("/dir/f%1").arg(i), "deep")
                || !ScratchTree::writeFile(deep + QStringLiteral("/dir/more/g%1").arg(i), "deeper"))
                return {};
        }
        if (!ScratchTree::makeSymlink(sentinel, tree + QStringLiteral("/swap"))
            || !ScratchTree::makeSymlink(sentinel, deep + QStringLiteral("/link")))
            return {};
        return deep;
    }

    QTemporaryDir m_scratch{ScratchTree::temporaryTemplate()};
    QString m_root;
    QString m_tree;
    QString m_sentinel;
};

ARKVANE_MOUNTING_TEST_MAIN(TestTreeRemoval)
#include "tst_treeremoval.moc"
