// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonservice.h"
#include "boxpath.h"
#include "childprocess.h"
#include "mounttable.h"
#include "openfilelist.h"
#include "pidsignal.h"
#include "processkill.h"
#include "procwalk.h"
#include "scanengine.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <vector>

namespace {

// A child holding files (made if missing) open, and no other descriptor of the test.
std::unique_ptr<ChildProcess> holding(const QStringList &paths)
{
    std::vector<QByteArray> encoded;
    for (const QString &path : paths) {
        if (QDir().mkpath(QFileInfo(path).path()) && !QFileInfo::exists(path))
            QFile(path).open(QIODevice::WriteOnly);
        encoded.push_back(QFile::encodeName(path));
    }
    return std::make_unique<ChildProcess>([encoded](int readyFd) {
        close_range(STDERR_FILENO + 1, readyFd - 1, 0);
        close_range(readyFd + 1, ~0U, 0);
        for (const QByteArray &path : encoded) {
            if (open(path.constData(), O_RDONLY | O_NOCTTY) < 0)
                _exit(write(readyFd, "!", 1));
        }
        char byte = 'r';
        if (write(readyFd, &byte, 1) == 1)
            while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
            }
        _exit(0);
    });
}

// Keeps every holder the scan hands over, /proc directory and all.
class KeepingSink : public HolderSink
{
public:
    bool wants(int) const override { return true; }
    void take(int pid, int fdDir) override { holders.push_back(holderOf(pid, fdDir, *this)); }

    std::vector<HolderProcess> holders;
};

BoxPath boxPathOf(const QString &box)
{
    return *BoxPath::of(QFile::encodeName(box));
}

// The scan for holders, with the daemon's own mount table.
int scanHoldersIn(const QString &box, HolderSink &sink)
{
    MountTable mounts;
    const int error = mounts.read(AT_FDCWD, "/proc/self/mountinfo");
    return error != 0 ? error : scanHolders(ScannedBox(boxPathOf(box), mounts), sink);
}

} // namespace

// What the bus cannot reach. It signals, so it runs in the sandbox's own pid namespace.
class TestBoxFileActivity : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

private Q_SLOTS:
    // A prefix compared as UTF-8 bytes and cut in UTF-16 units; prefixes of 256 and 257 bytes.
    void listsAndFindsBelowOddBoxPaths()
    {
        QVERIFY(m_dir.isValid());
        const int base = QFile::encodeName(m_dir.path()).size() + 1;
        const QString boxes[] = {m_dir.filePath(QStringLiteral("盒子📦")),
                                 m_dir.filePath(QString(256 - base - 1, QLatin1Char('f'))),
                                 m_dir.filePath(QString(257 - base - 1, QLatin1Char('g')))};
        const QString names[] = {QStringLiteral("文件 ✓.txt"), QStringLiteral("file"),
                                 QStringLiteral("file")};
        for (int i = 0; i < 3; ++i) {
            const auto holder = holding({boxes[i] + QLatin1Char('/') + names[i]});
            QVERIFY(holder->isReady());
            CBoxFileList list;
            QCOMPARE(BoxDaemonService().get_allRunFileList(boxes[i], list), 0);
            QCOMPARE(list.size(), 1);
            QCOMPARE(list.front().strFilePath, boxes[i] + QLatin1Char('/') + names[i]);
            QCOMPARE(list.front().strRelativePath, names[i]);
            CBoxPidList pids;
            QCOMPARE(get_allOpenFilePidByPath(format_boxPath(boxes[i]), pids), 0);
            QCOMPARE(pids, CBoxPidList{holder->pid()});
        }
        QVERIFY(QFile::encodeName(format_boxPath(boxes[1])).size() == 256
                && QFile::encodeName(format_boxPath(boxes[2])).size() == 257);
    }

    // A holder found ends and its number goes to a newcomer, which the signal must not reach.
    void neverSignalsRecycledPid()
    {
        auto holder = holding({m_dir.filePath(QStringLiteral("recycled/f"))});
        QVERIFY(holder->isReady());
        const pid_t number = holder->pid();
        KeepingSink sink;
        QCOMPARE(scanHoldersIn(m_dir.filePath(QStringLiteral("recycled")), sink), 0);
        QCOMPARE(sink.holders.size(), std::size_t(1));
        QCOMPARE(sink.holders.front().pid, static_cast<int>(number));
        QVERIFY(sink.holders.front().procDir);
        QVERIFY(exitedNormally(holder->finish()));
        holder.reset();

        QFile lastPid(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
        if (!lastPid.open(QIODevice::WriteOnly) || lastPid.write(QByteArray::number(number - 1)) <= 0)
            QSKIP("ns_last_pid cannot be written here");
        lastPid.close();
        const auto newcomer = holding({});
        QVERIFY(newcomer->isReady());
        if (newcomer->pid() != number)
            QSKIP("another process took the number first");
        QCOMPARE(sendKill(sink.holders.front()), -ESRCH);
        QVERIFY(exitedNormally(newcomer->finish()));
    }

    // Whether the box was opened by path or handed over open, a link swapped in below it leads nowhere.
    void boxOpensNoLinkBelow()
    {
        const QByteArray box = QFile::encodeName(m_dir.filePath(QStringLiteral("linked")));
        QVERIFY(mkdir(box, 0700) == 0 && mkdir(box + "/real", 0700) == 0
                && symlink("real", box + "/link") == 0 && symlink("/", box + "/real/up") == 0);
        const OwnedFd opened(open(box, O_PATH | O_DIRECTORY | O_CLOEXEC));
        for (const BoxPath &at : {*BoxPath::of(box + "//"), *BoxPath::ofOpenDirectory(opened.get())}) {
            QCOMPARE(at.bytes(), box);
            QVERIFY(OwnedFd(at.openBelow("real", O_PATH | O_DIRECTORY)));
            QCOMPARE(at.openBelow("link", O_PATH | O_DIRECTORY), -ELOOP);
            QCOMPARE(at.openBelow("link/x", O_PATH | O_DIRECTORY), -ELOOP);
            QCOMPARE(at.openBelow("real/up", O_PATH | O_DIRECTORY), -ELOOP);
        }
    }

    // With few descriptors left, the kill gives up its pidfds (and the waits on them) and none is lost.
    void killsAllWhenDescriptorsRunOut()
    {
        const QString box = m_dir.filePath(QStringLiteral("crowded"));
        std::vector<std::unique_ptr<ChildProcess>> holders;
        for (int i = 0; i < 40; ++i) {
            holders.push_back(holding({box + QStringLiteral("/f")}));
            QVERIFY(holders.back()->isReady());
        }
        struct rlimit saved = {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        struct rlimit tight = saved;
        int fd = 0;
        for (int freeSeen = 0; freeSeen <= 6; ++fd)
            freeSeen += fcntl(fd, F_GETFD) < 0;
        tight.rlim_cur = static_cast<rlim_t>(fd - 1);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
        const int result = kill_allProcessByPath(box, 0);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
        QCOMPARE(result, 0);
        for (const auto &holder : holders)
            QVERIFY2(killedBySigkill(holder->finish()), qPrintable(QString::number(holder->pid())));
    }

    // The walk on two threads hands over what one thread finds, in the same order.
    void twoThreadsAnswerAsOne()
    {
        const QString box = m_dir.filePath(QStringLiteral("many"));
        std::vector<std::unique_ptr<ChildProcess>> holders;
        for (int i = 0; i < 300; ++i) {
            // Later processes list first the files of lower numbers; every third holds only outside.
            holders.push_back(
                holding({box + (i % 3 ? QStringLiteral("/f%1").arg(299 - i) : QStringLiteral("-out/o")),
                         box + QStringLiteral("/shared")}));
            QVERIFY(holders.back()->isReady());
        }
        std::vector<QByteArray> listed[2];
        KeepingSink found[2];
        for (const int threads : {1, 2}) {
            forceProcWalkThreads(threads);
            QCOMPARE(collectOpenFiles(boxPathOf(box), listed[threads - 1]).error, 0);
            QCOMPARE(scanHoldersIn(box, found[threads - 1]), 0);
        }
        forceProcWalkThreads(0);
        QCOMPARE(listed[0].size(), std::size_t(201));
        QCOMPARE(listed[0][1], QByteArray("f298"));
        QCOMPARE(listed[1], listed[0]);
        QCOMPARE(found[0].holders.size(), std::size_t(300));
        for (std::size_t i = 0; i < 300; ++i)
            QCOMPARE(found[1].holders[i].pid, found[0].holders[i].pid);
    }
};

QTEST_GUILESS_MAIN(TestBoxFileActivity)
#include "tst_boxfileactivity.moc"
