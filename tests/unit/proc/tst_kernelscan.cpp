#include "childprocess.h"
#include "holderscan.h"
#include "openfilelist.h"
#include "scanengine.h"

#include <QtTest>

#include <fcntl.h>
#include <linux/futex.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

namespace {

// Leaves only the child's input and its ready pipe of what the test holds.
void keepOnly(int readyFd)
{
    close_range(STDERR_FILENO + 1, readyFd - 1, 0);
    close_range(readyFd + 1, ~0U, 0);
}

// Signals ready with the file open, then waits for the end of its input.
[[noreturn]] void holdUntilLetGo(const QByteArray &path, int readyFd)
{
    const char byte = open(path.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0644) >= 0 ? 'r' : '!';
    (void)!write(readyFd, &byte, 1);
    char ignored;
    while (read(STDIN_FILENO, &ignored, 1) < 0 && errno == EINTR) {
    }
    _exit(0);
}

// A thread that made the descriptor table its own holds the file; the
// process's first thread holds nothing of the box.
void ownTableThread(const QByteArray &path, int readyFd)
{
    keepOnly(readyFd);
    std::thread([&] {
        if (unshare(CLONE_FILES) != 0)
            (void)!write(readyFd, "!", 1), _exit(1);
        holdUntilLetGo(path, readyFd);
    }).join();
}

// The first thread exits (a zombie without a table) while another thread of
// the process holds the file.
void leaderGone(const QByteArray &path, int readyFd)
{
    keepOnly(readyFd);
    static std::atomic<pid_t> leader{static_cast<pid_t>(syscall(SYS_gettid))};
    std::thread([path, readyFd] {
        // The kernel clears the word and wakes its waiters as the leader exits.
        pid_t seen;
        while ((seen = leader.load()) != 0)
            syscall(SYS_futex, &leader, FUTEX_WAIT, seen, nullptr, nullptr, 0);
        char state = 0;
        while (state != 'Z') {
            std::ifstream stat("/proc/self/stat");
            std::string skip;
            stat >> skip >> skip >> state;
            sched_yield();
        }
        holdUntilLetGo(path, readyFd);
    }).detach();
    syscall(SYS_set_tid_address, &leader);
    syscall(SYS_exit, 0);
}

// Another mount namespace with another file system over the box's path: its
// descriptor's path text lies in the box, its file does not.
void lookAlike(const QByteArray &box, int readyFd)
{
    keepOnly(readyFd);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount("kscan-alike", box.constData(), "tmpfs", 0, nullptr) != 0)
        (void)!write(readyFd, "!", 1), _exit(1);
    holdUntilLetGo(box + "/x.txt", readyFd);
}

// Holds path after making a mount namespace of its own in which the box shows
// at another path too: the file is the box's whichever path names it.
void otherNamespace(const QByteArray &box, const QByteArray &path, int readyFd)
{
    keepOnly(readyFd);
    const QByteArray alias = box + "-alias";
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount(box.constData(), alias.constData(), nullptr, MS_BIND, nullptr) != 0)
        (void)!write(readyFd, "!", 1), _exit(1);
    holdUntilLetGo(alias + path, readyFd);
}

// Collects the holders a scan hands over, and those it could not judge.
class PidSink : public HolderSink
{
public:
    bool wants(int) const override { return true; }
    void take(int pid, int) override { pids << pid; }
    void cannotJudge(int pid) override { pids << -pid; }
    QList<int> pids;
};

} // namespace

class TestKernelScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void enginesAgree();
    void cleanupTestCase();

private:
    QByteArray m_root;
    std::vector<std::unique_ptr<ChildProcess>> m_children;
};

void TestKernelScan::initTestCase()
{
    m_root = qgetenv("ARKVANE_SANDBOX_TMP") + "/kernelscan";
    const QByteArray box = m_root + "/same";
    for (const char *dir : {"", "/same", "/same-alias", "/bound2"})
        QVERIFY(mkdir(m_root + dir, 0755) == 0);
    // A file system of its own, with a mount below the box and a bind mount
    // of a subdirectory outside it.
    QVERIFY(mount("kscan-same", box, "tmpfs", 0, nullptr) == 0);
    for (const char *dir : {"/sub", "/mnt", "/deep"})
        QVERIFY(mkdir(box + dir, 0755) == 0);
    QVERIFY(mount("kscan-same-mnt", box + "/mnt", "tmpfs", 0, nullptr) == 0);
    QVERIFY(mount(box + "/sub", m_root + "/bound2", nullptr, MS_BIND, nullptr) == 0);
    // 14 names of 200 bytes stay within the kernel's 4096.
    QByteArray deep = box + "/deep";
    for (int level = 0; level < 14; ++level)
        QVERIFY(mkdir(deep += "/" + QByteArray(200, 'e'), 0755) == 0);
    for (const QByteArray &path : {deep + "/f", box + "/a", box + "/n\xffme", box + "/gone",
                                   box + "/sub/c", box + "/mnt/m", box + "/h"})
        QVERIFY(open(path, O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
    QVERIFY(open(m_root + "/bound2/c", O_RDONLY | O_CLOEXEC) >= 0);
    QVERIFY(unlink(box + "/gone") == 0);
    // Held by a name removed while another link keeps the file: that name is gone.
    QVERIFY(link(box + "/h", box + "/h2") == 0 && unlink(box + "/h") == 0);

    const std::vector<std::pair<const char *, std::function<void(int)>>> children = {
        {"own-table", [box](int fd) { ownTableThread(box + "/t", fd); }},
        {"leader-gone", [box](int fd) { leaderGone(box + "/l", fd); }},
        {"look-alike", [box](int fd) { lookAlike(box, fd); }},
        {"other-ns", [box](int fd) { otherNamespace(box, "/ns", fd); }},
    };
    for (const auto &[name, body] : children) {
        m_children.push_back(std::make_unique<ChildProcess>(body));
        QVERIFY2(m_children.back()->isReady(), name);
    }
}

// Both engines on the same box: the same listing, the same holders.
void TestKernelScan::enginesAgree()
{
    const QByteArray same = m_root + "/same";
    std::vector<KernelHeldFile> served;
    allowKernelScanEngine(true);
    PidSink kernelSink;
    // The kernel engine takes this box itself.
    QVERIFY(kernelHeldFiles(same, served) && kernelHolders(same, kernelSink));
    QStringList listed[2];
    QList<int> holders[2];
    for (const bool kernel : {true, false}) {
        allowKernelScanEngine(kernel);
        CBoxFileList list;
        QCOMPARE(list_openFilesByPath(QString::fromUtf8(same + '/'), list), 0);
        for (const BoxFileItem &item : list)
            listed[kernel] << item.strRelativePath;
        PidSink sink;
        QVERIFY(scanHolders(same + '/', sink));
        holders[kernel] = sink.pids;
        std::sort(holders[kernel].begin(), holders[kernel].end());
    }
    listed[0].sort();
    listed[1].sort();
    const QString name(200, QLatin1Char('e'));
    QCOMPARE(listed[1], (QStringList{QStringLiteral("a"),
                                     QStringLiteral("deep/") + name + (QLatin1Char('/') + name).repeated(13) + QStringLiteral("/f"),
                                     QStringLiteral("l"), QStringLiteral("mnt/m"), QStringLiteral("ns"),
                                     QStringLiteral("n\uFFFDme"),
                                     QStringLiteral("sub/c"), QStringLiteral("t")}));
    QCOMPARE(listed[0], listed[1]);
    QCOMPARE(holders[0], holders[1]);
    // The test, the thread's own table, the exited leader's thread, the other
    // namespace; never the look-alike.
    QCOMPARE(holders[1].size(), 4);
}

void TestKernelScan::cleanupTestCase()
{
    m_children.clear();
}

QTEST_GUILESS_MAIN(TestKernelScan)
#include "tst_kernelscan.moc"
