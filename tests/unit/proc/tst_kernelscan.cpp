#include "childprocess.h"
#include "holderscan.h"
#include "kernelfilescan.h"
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
    void enginesAgree();
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
    for (const char *dir : {"", "/box", "/box/sub", "/box/mnt", "/bound", "/box/deep", "/same",
                            "/same-alias", "/bound2"})
        QVERIFY(mkdir(m_root + dir, 0755) == 0);
    // A file system of its own: the first box's deepest file, beyond the
    // kernel's walk, would send every scan of its device to the /proc walk.
    QVERIFY(mount("kscan-same", m_root + "/same", "tmpfs", 0, nullptr) == 0);
    for (const char *dir : {"/same/sub", "/same/mnt", "/same/deep"})
        QVERIFY(mkdir(m_root + dir, 0755) == 0);
    QVERIFY(mount("kscan-mnt", m_box + "/mnt", "tmpfs", 0, nullptr) == 0);
    QVERIFY(mount(m_box + "/sub", m_root + "/bound", nullptr, MS_BIND, nullptr) == 0);
    QVERIFY(mount("kscan-same-mnt", m_root + "/same/mnt", "tmpfs", 0, nullptr) == 0);
    QVERIFY(mount(m_root + "/same/sub", m_root + "/bound2", nullptr, MS_BIND, nullptr) == 0);
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
    // The box both engines judge: 14 names of 200 bytes stay within the
    // kernel's 4096.
    QByteArray deep = m_root + "/same/deep";
    for (int level = 0; level < 14; ++level)
        QVERIFY(mkdir(deep += "/" + QByteArray(200, 'e'), 0755) == 0);
    for (const QByteArray &path : {deep + "/f", m_root + "/same/a", m_root + "/same/n\xffme",
                                   m_root + "/same/gone", m_root + "/same/sub/c", m_root + "/same/mnt/m",
                                   m_root + "/same/h"})
        QVERIFY(open(path, O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
    QVERIFY(open(m_root + "/bound2/c", O_RDONLY | O_CLOEXEC) >= 0);
    QVERIFY(unlink(m_root + "/same/gone") == 0);
    // Held by a name removed while another link keeps the file: that name is gone.
    QVERIFY(link(m_root + "/same/h", m_root + "/same/h2") == 0 && unlink(m_root + "/same/h") == 0);
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
        {"same-table", [this](int fd) { ownTableThread(m_root + "/same/t", fd); }},
        {"same-ns", [this](int fd) { otherNamespace(m_root + "/same", "/ns", fd); }},
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
                                     QStringLiteral("mnt/m"), QStringLiteral("ns"), QStringLiteral("n\uFFFDme"),
                                     QStringLiteral("sub/c"), QStringLiteral("t")}));
    QCOMPARE(listed[0], listed[1]);
    QCOMPARE(holders[0], holders[1]);
    QCOMPARE(holders[1].size(), 3); // the test, the thread's own table, the other namespace
}

void TestKernelScan::cleanupTestCase()
{
    m_children.clear();
}

QTEST_GUILESS_MAIN(TestKernelScan)
#include "tst_kernelscan.moc"
