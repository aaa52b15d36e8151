#include "childprocess.h"
#include "kernelfilescan.h"

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

QByteArray fileStat(const QByteArray &path, struct stat *status)
{
    return stat(path.constData(), status) == 0 ? path : QByteArray();
}

} // namespace

class TestKernelScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void listsEveryDescriptorBelowTheAnchors();
    void namesEachHolderOnce();
    void cleanupTestCase();

private:
    std::unique_ptr<KernelFileScan> m_scan;
    QByteArray m_root, m_box;
    std::vector<ScanAnchor> m_anchors;
    std::vector<std::unique_ptr<ChildProcess>> m_children;
    QMap<int, QByteArray> m_names; // pid -> who in the tables below
    ino_t m_fileIno = 0;
};

void TestKernelScan::initTestCase()
{
    std::string whyNot;
    m_scan = KernelFileScan::load(whyNot);
    QVERIFY2(m_scan, whyNot.c_str());

    m_root = qgetenv("ARKVANE_SANDBOX_TMP") + "/kernelscan";
    m_box = m_root + "/box";
    for (const char *dir : {"", "/box", "/box/sub", "/box/mnt", "/bound", "/box/deep"})
        QVERIFY(mkdir(m_root + dir, 0755) == 0);
    QVERIFY(mount("kscan-mnt", m_box + "/mnt", "tmpfs", 0, nullptr) == 0);
    QVERIFY(mount(m_box + "/sub", m_root + "/bound", nullptr, MS_BIND, nullptr) == 0);
    struct stat box, mnt;
    QVERIFY(!fileStat(m_box, &box).isEmpty() && !fileStat(m_box + "/mnt", &mnt).isEmpty());
    m_anchors = {{box.st_dev, box.st_ino, false}, {mnt.st_dev, mnt.st_ino, true}};

    // Held by the test itself: below 21 names of 200 bytes (a path beyond the
    // kernel's 4096 bytes), and below 8,200 levels (beyond its walk).
    for (const auto &[name, levels] : {std::pair<QByteArray, int>{QByteArray(200, 'd'), 21},
                                       {QByteArray("u"), 8200}}) {
        int deep = open(m_box + "/deep", O_DIRECTORY | O_RDONLY | O_CLOEXEC);
        for (int level = 0; level < levels && deep >= 0; ++level) {
            const int next = mkdirat(deep, name, 0755) == 0
                                 ? openat(deep, name, O_DIRECTORY | O_RDONLY | O_CLOEXEC) : -1;
            close(deep);
            deep = next;
        }
        QVERIFY(deep >= 0 && openat(deep, "f", O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
        close(deep);
    }
    for (const QByteArray &path : {m_box + "/a.txt", m_box + "/gone", m_box + "/n\xffme",
                                   m_box + "/sub/c", m_box + "/mnt/m", m_root + "/outside"})
        QVERIFY(open(path, O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
    for (const QByteArray &dir : {m_box, m_box + "/sub", m_box + "/mnt"})
        QVERIFY(open(dir, O_DIRECTORY | O_RDONLY | O_CLOEXEC) >= 0);
    QVERIFY(open(m_root + "/bound/c", O_RDONLY | O_CLOEXEC) >= 0);
    QVERIFY(unlink(m_box + "/gone") == 0);
    struct stat file;
    QVERIFY(!fileStat(m_box + "/a.txt", &file).isEmpty());
    m_fileIno = file.st_ino;
    m_names[getpid()] = "test";

    const std::vector<std::pair<QByteArray, std::function<void(int)>>> children = {
        {"own-table", [this](int fd) { ownTableThread(m_box + "/t.txt", fd); }},
        {"leader-gone", [this](int fd) { leaderGone(m_box + "/l.txt", fd); }},
        {"look-alike", [this](int fd) { lookAlike(m_box, fd); }},
    };
    for (const auto &[name, body] : children) {
        m_children.push_back(std::make_unique<ChildProcess>(body));
        QVERIFY2(m_children.back()->isReady(), name.constData());
        m_names[m_children.back()->pid()] = name;
    }
}

void TestKernelScan::listsEveryDescriptorBelowTheAnchors()
{
    std::vector<KernelFileRecord> records;
    QVERIFY(m_scan->scanFiles(m_anchors, records));
    QList<QByteArray> found;
    for (const KernelFileRecord &r : records) {
        found << m_names.value(r.pid, "pid " + QByteArray::number(r.pid)) + " " + QByteArray::number(r.anchor)
                     + " " + QByteArray::fromStdString(r.relativePath).toPercentEncoding("/")
                     + (r.linked ? "" : " unlinked") + (r.pathCut ? " cut" : "")
                     + (r.undecided ? " undecided" : "");
        if (r.relativePath == "a.txt")
            QCOMPARE(r.ino, m_fileIno);
    }
    std::sort(found.begin(), found.end());
    const QList<QByteArray> expected = {
        "leader-gone 0 l.txt",
        "own-table 0 t.txt",
        "test -1  undecided",   // below 8,200 levels
        "test 0  cut",          // below 21 names of 200 bytes
        "test 0 a.txt",
        "test 0 gone unlinked",
        "test 0 n%FFme",
        "test 0 sub",
        "test 0 sub/c",         // opened through the bind mount outside the box
        "test 0 sub/c",         // made through the box
        "test 1 ",              // the mount below the box counts itself
        "test 1 m",
    };
    QCOMPARE(found, expected);
}

void TestKernelScan::namesEachHolderOnce()
{
    std::vector<KernelHolderRecord> records;
    QVERIFY(m_scan->scanHolders(m_anchors, records));
    QList<QByteArray> found;
    for (const KernelHolderRecord &r : records)
        found << m_names.value(r.pid, "pid " + QByteArray::number(r.pid)) + (r.undecided ? " undecided" : "");
    std::sort(found.begin(), found.end());
    QCOMPARE(found, (QList<QByteArray>{"leader-gone", "own-table", "test"}));

    // The start time matches the one /proc gives (field 22 of stat).
    std::ifstream stat("/proc/self/stat");
    std::string field;
    for (int i = 0; i < 22; ++i)
        stat >> field;
    const auto self = std::find_if(records.begin(), records.end(),
                                   [](const KernelHolderRecord &r) { return r.pid == getpid(); });
    QVERIFY(self != records.end());
    QCOMPARE(self->startTicks, std::stoull(field));
}

void TestKernelScan::cleanupTestCase()
{
    m_children.clear();
}

QTEST_GUILESS_MAIN(TestKernelScan)
#include "tst_kernelscan.moc"
