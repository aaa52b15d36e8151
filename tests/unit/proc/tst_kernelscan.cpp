// SPDX-License-Identifier: GPL-2.0-or-later
#include "childprocess.h"
#include "fsidentity.h"
#include "mounttable.h"
#include "openfilelist.h"
#include "procwalk.h"
#include "scanengine.h"

#include <QtTest>

#include <fcntl.h>
#include <linux/futex.h>
#include <linux/loop.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <syslog.h>
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

// Holds held after mounting source at target in a mount namespace of its
// own: another file system over the box's path (its text lies in the box, its
// file does not), or the box shown at another path (the file is the box's
// whichever path names it).
void inOwnNamespace(const QByteArray &source, const QByteArray &target, const char *type,
                    const QByteArray &held, int readyFd)
{
    keepOnly(readyFd);
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
        || mount(source, target, type, type ? 0 : MS_BIND, nullptr) != 0)
        (void)!write(readyFd, "!", 1), _exit(1);
    holdUntilLetGo(held, readyFd);
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

// levels directories, each named name inside the one before, below at
// (relative steps: the whole path may pass PATH_MAX): the last one, opened.
OwnedFd nestedDirectories(OwnedFd at, const QByteArray &name, int levels)
{
    for (int level = 0; at && level < levels; ++level)
        at = OwnedFd(mkdirat(at.get(), name, 0755) == 0
                         ? openat(at.get(), name, O_PATH | O_DIRECTORY | O_CLOEXEC)
                         : -1);
    return at;
}

MountTable ownMounts()
{
    MountTable mounts;
    if (mounts.read(AT_FDCWD, "/proc/self/mountinfo") != 0)
        qFatal("the mount table cannot be read");
    return mounts;
}

// What the engine serving now lists and which holders it finds.
void listAndHolders(const QByteArray &box, QStringList &listed, QList<int> &holders)
{
    std::vector<QByteArray> relatives;
    // As root, yet each path checked to lead to the held file (by device and inode).
    QCOMPARE(collectOpenFiles(*BoxPath::of(box), relatives, ExistenceIdentity{0, 0, {0}}).error, 0);
    for (const QByteArray &relative : relatives)
        listed << QString::fromUtf8(relative);
    listed.sort();
    PidSink sink;
    const MountTable mounts = ownMounts();
    QCOMPARE(scanHolders(ScannedBox(*BoxPath::of(box), mounts), sink), 0);
    holders = sink.pids;
    std::sort(holders.begin(), holders.end());
}

// A file system of type made on a file of mib MiB in dir and mounted at
// dir/mnt, through a loop device that goes with the mount (and the test's
// mount namespace): the device's path, or empty.
QByteArray mountOnLoop(const QByteArray &dir, const QString &type, int mib)
{
    const QByteArray image = dir + "/image";
    const OwnedFd backing(mkdir(dir, 0755) == 0 && mkdir(dir + "/mnt", 0755) == 0
                              ? open(image, O_RDWR | O_CREAT | O_CLOEXEC, 0600)
                              : -1);
    if (!backing || ftruncate(backing.get(), off_t(mib) << 20) != 0
        || QProcess::execute(QStringLiteral("mkfs.") + type, {QStringLiteral("-q"), QString::fromUtf8(image)})
               != 0)
        return {};
    mknod("/dev/loop-control", S_IFCHR | 0600, makedev(10, 237));
    const OwnedFd control(open("/dev/loop-control", O_RDWR | O_CLOEXEC));
    for (int attempt = 0; control && attempt < 5; ++attempt) { // another test may take the same one
        const int number = ioctl(control.get(), LOOP_CTL_GET_FREE);
        const QByteArray device = "/dev/loop" + QByteArray::number(number);
        mknod(device, S_IFBLK | 0600, makedev(7, static_cast<unsigned>(number)));
        const OwnedFd loop(open(device, O_RDWR | O_CLOEXEC));
        loop_config config{};
        config.fd = static_cast<__u32>(backing.get());
        config.info.lo_flags = LO_FLAGS_AUTOCLEAR;
        if (number >= 0 && loop && ioctl(loop.get(), LOOP_CONFIGURE, &config) == 0)
            return mount(device, dir + "/mnt", type.toUtf8(), 0, nullptr) == 0 ? device : QByteArray();
    }
    return {};
}

} // namespace

class TestKernelScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void enginesAgree_data();
    void enginesAgree();
    void declineLoggedOnce();
    void cleanupTestCase();

private:
    QByteArray m_root;
    std::vector<std::unique_ptr<ChildProcess>> m_children;
    OwnedFd m_deepOutside; // 10,000 levels below m_root/outside
};

void TestKernelScan::initTestCase()
{
    m_root = qgetenv("ARKVANE_SANDBOX_TMP") + "/kernelscan";
    const QByteArray box = m_root + "/same";
    for (const char *dir : {"", "/same", "/same-alias", "/bound2", "/outside"})
        QVERIFY(mkdir(m_root + dir, 0755) == 0);
    // A file system of its own, with a mount below the box and a bind mount
    // of a subdirectory outside it.
    QVERIFY(mount("kscan-same", box, "tmpfs", 0, nullptr) == 0);
    for (const char *dir : {"/sub", "/mnt", "/deep"})
        QVERIFY(mkdir(box + dir, 0755) == 0);
    QVERIFY(mount("kscan-same-mnt", box + "/mnt", "tmpfs", 0, nullptr) == 0);
    QVERIFY(mount(box + "/sub", m_root + "/bound2", nullptr, MS_BIND, nullptr) == 0);
    // Below "deep": a name of 255 bytes, then names of one byte down to a file
    // whose whole path is 4095 bytes, the longest the kernel prints.
    const int rest = 4095 - (box.size() + 6 + 255 + 1);
    const OwnedFd deep = nestedDirectories(
        nestedDirectories(OwnedFd(open(box + "/deep", O_PATH | O_CLOEXEC)), QByteArray(255, 'e'), 1), "d",
        (rest - 1) / 2);
    QVERIFY(deep && openat(deep.get(), rest % 2 ? "f" : "ff", O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
    for (const QByteArray &path :
         {box + "/a", box + "/n\xffme", box + "/gone", box + "/sub/c", box + "/mnt/m", box + "/h"})
        QVERIFY(open(path, O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
    QVERIFY(open(m_root + "/bound2/c", O_RDONLY | O_CLOEXEC) >= 0);
    QVERIFY(unlink(box + "/gone") == 0);
    // Held by a name removed while another link keeps the file: that name is gone.
    QVERIFY(link(box + "/h", box + "/h2") == 0 && unlink(box + "/h") == 0);
    // A box 70 levels down a shared file system, its own directory held
    // before a file in it: the directory does not count, the file does.
    const OwnedFd tall = nestedDirectories(OwnedFd(open(m_root, O_PATH | O_CLOEXEC)), "p", 70);
    QVERIFY(tall && mkdirat(tall.get(), "box", 0755) == 0
            && openat(tall.get(), "box", O_RDONLY | O_DIRECTORY | O_CLOEXEC) >= 0
            && openat(tall.get(), "box/f", O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
    // Boxes on overlays: a file of the lower layer, one written to the upper,
    // one a thread holds in a table of its own; the layers on one file system
    // (stat reports the overlay's numbers) or apart (xino=off: the layers').
    const QByteArray ovl = m_root + "/ovl";
    for (const QByteArray &top : {ovl, ovl + "-apart"}) {
        for (const char *dir : {"", "/lower", "/lower/box", "/rw", "/merged"})
            QVERIFY(mkdir(top + dir, 0755) == 0);
        const bool apart = top != ovl;
        QVERIFY(!apart || mount("kscan-ovl-rw", top + "/rw", "tmpfs", 0, nullptr) == 0);
        QVERIFY(mkdir(top + "/rw/upper", 0755) == 0 && mkdir(top + "/rw/work", 0755) == 0);
        QVERIFY(mknod(top + "/lower/box/old", S_IFREG | 0644, 0) == 0);
        QVERIFY(mount("kscan-ovl", top + "/merged", "overlay", 0,
                      "lowerdir=" + top + "/lower,upperdir=" + top + "/rw/upper,workdir=" + top + "/rw/work"
                          + (apart ? ",xino=off" : ""))
                == 0);
        for (const char *path : {"/merged/box/old", "/merged/box/new"})
            QVERIFY(open(top + path, O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0);
    }
    // A box in a btrfs subvolume mounted as a home, holding another subvolume.
    const QByteArray btrfs = m_root + "/btrfs", device = mountOnLoop(btrfs, QStringLiteral("btrfs"), 128);
    QVERIFY(!device.isEmpty() && mkdir(btrfs + "/home", 0755) == 0);
    const auto subvolume = [](const QByteArray &path) {
        return QProcess::execute(QStringLiteral("btrfs"),
                                 {QStringLiteral("-q"), QStringLiteral("subvolume"), QStringLiteral("create"),
                                  QString::fromUtf8(path)});
    };
    QCOMPARE(subvolume(btrfs + "/mnt/home"), 0);
    QVERIFY(mount(device, btrfs + "/home", "btrfs", 0, "subvol=home") == 0);
    QVERIFY(mkdir(btrfs + "/home/box", 0755) == 0 && subvolume(btrfs + "/home/box/inner") == 0);
    // A box on a block device's file system: the device's major is not 0.
    const QByteArray ext4 = m_root + "/ext4";
    QVERIFY(!mountOnLoop(ext4, QStringLiteral("ext4"), 16).isEmpty() && mkdir(ext4 + "/mnt/box", 0755) == 0);
    for (const QByteArray &path :
         {ovl + "/merged/out", ovl + "/lower/box/old", btrfs + "/home/box/a", btrfs + "/home/box/inner/z",
          btrfs + "/home/out", btrfs + "/mnt/out", ext4 + "/mnt/box/e", ext4 + "/mnt/out"})
        QVERIFY2(open(path, O_CREAT | O_RDONLY | O_CLOEXEC, 0644) >= 0, path);
    m_deepOutside = nestedDirectories(OwnedFd(open(m_root + "/outside", O_PATH | O_CLOEXEC)), "o", 10000);
    QVERIFY(m_deepOutside && mknodat(m_deepOutside.get(), "f", S_IFREG | 0644, 0) == 0);

    const std::vector<std::pair<const char *, std::function<void(int)>>> children = {
        {"own-table", [box](int fd) { ownTableThread(box + "/t", fd); }},
        {"own-table-ovl", [this](int fd) { ownTableThread(m_root + "/ovl/merged/box/t", fd); }},
        {"own-table-ovl-apart", [this](int fd) { ownTableThread(m_root + "/ovl-apart/merged/box/t", fd); }},
        {"leader-gone", [box](int fd) { leaderGone(box + "/l", fd); }},
        {"look-alike", [box](int fd) { inOwnNamespace("kscan-alike", box, "tmpfs", box + "/x.txt", fd); }},
        {"other-ns", [box](int fd) { inOwnNamespace(box, box + "-alias", nullptr, box + "-alias/ns", fd); }},
    };
    for (const auto &[name, body] : children) {
        m_children.push_back(std::make_unique<ChildProcess>(body));
        QVERIFY2(m_children.back()->isReady(), name);
    }
}

void TestKernelScan::enginesAgree_data()
{
    QTest::addColumn<QByteArray>("box");
    QTest::addColumn<QStringList>("listing");
    QTest::addColumn<int>("holders");
    const QString deep = QStringLiteral("deep/") + QString(255, QLatin1Char('e'));
    const int rest = 4095 - (m_root.size() + 5 + 6 + 255 + 1);
    // The test, the thread's own table, the exited leader's thread, the other
    // namespace; never the look-alike.
    QTest::addRow("one box holds every hard case")
        << m_root + "/same"
        << QStringList{QStringLiteral("a"),
                       deep + QStringLiteral("/d").repeated((rest - 1) / 2)
                           + (rest % 2 ? QStringLiteral("/f") : QStringLiteral("/ff")),
                       QStringLiteral("l"),
                       QStringLiteral("mnt/m"),
                       QStringLiteral("ns"),
                       QStringLiteral("n\uFFFDme"),
                       QStringLiteral("sub/c"),
                       QStringLiteral("t")}
        << 4;
    QTest::addRow("a box deep in a shared file system")
        << m_root + QByteArray("/p").repeated(70) + "/box" << QStringList{QStringLiteral("f")} << 1;
    for (const char *top : {"/ovl", "/ovl-apart"})
        QTest::addRow("overlayfs%s", top + 4)
            << m_root + top + "/merged/box"
            << QStringList{QStringLiteral("new"), QStringLiteral("old"), QStringLiteral("t")} << 2;
    QTest::addRow("btrfs subvolume") << m_root + "/btrfs/home/box"
                                     << QStringList{QStringLiteral("a"), QStringLiteral("inner/z")} << 1;
    QTest::addRow("ext4 on a loop device")
        << m_root + "/ext4/mnt/box" << QStringList{QStringLiteral("e")} << 1;
}

// Both engines on the same box: the same listing, the same holders; the
// kernel engine takes the box itself, also while a file 10,000 levels deep
// outside it, on its file system, is held.
void TestKernelScan::enginesAgree()
{
    QFETCH(QByteArray, box);
    QFETCH(QStringList, listing);
    QFETCH(int, holders);
    QStringList listed[3];
    QList<int> found[3];
    for (const int kernel : {1, 0, 2}) {
        const OwnedFd deep(kernel == 2 ? openat(m_deepOutside.get(), "f", O_RDONLY | O_CLOEXEC) : -1);
        PidSink kernelSink;
        allowKernelScanEngine(true);
        const MountTable mounts = ownMounts();
        const ScannedBox scanned(*BoxPath::of(box), mounts);
        QVERIFY(!kernel || (kernelHeldFiles(scanned, kernelSink) && kernelHolders(scanned, kernelSink)));
        allowKernelScanEngine(kernel);
        listAndHolders(box, listed[kernel], found[kernel]);
    }
    QCOMPARE(listed[0], listing);
    QCOMPARE(found[0].size(), holders);
    for (const int kernel : {1, 2}) {
        QCOMPARE(listed[kernel], listed[0]);
        QCOMPARE(found[kernel], found[0]);
    }
}

// A call the kernel engine leaves to the /proc walk says why in the system
// log, once for each reason.
void TestKernelScan::declineLoggedOnce()
{
    const QByteArray box = m_root + "/crowded";
    QVERIFY(mkdir(box, 0755) == 0);
    for (const char name : QByteArray("abcdefgh")) {
        QVERIFY(mkdir(box + '/' + name, 0755) == 0);
        QVERIFY(mount("kscan-crowded", box + '/' + name, "tmpfs", 0, nullptr) == 0);
    }
    allowKernelScanEngine(true);
    PidSink sink;
    const MountTable mounts = ownMounts();
    const ScannedBox scanned(*BoxPath::of(box), mounts);
    for (int call = 0; call < 2; ++call)
        QVERIFY(!kernelHeldFiles(scanned, sink) && !kernelHolders(scanned, sink));
    syslog(LOG_INFO, "declineLoggedOnce done\n");
    QFile log(qEnvironmentVariable("ARKVANE_SYSLOG"));
    QVERIFY(log.open(QIODevice::ReadOnly));
    QTRY_VERIFY((log.seek(0), log.readAll().contains("declineLoggedOnce done")));
    log.seek(0);
    QCOMPARE(log.readAll().count("kernelHeldFiles[405] the kernel engine cannot identify the box and the "
                                 "mounts below it: more than 7 mounts below the box (box "
                                 + box + "): the /proc walk serves"),
             1);
}

void TestKernelScan::cleanupTestCase()
{
    m_children.clear();
}

QTEST_GUILESS_MAIN(TestKernelScan)
#include "tst_kernelscan.moc"
