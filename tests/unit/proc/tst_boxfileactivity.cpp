#include "boxdaemonservice.h"
#include "boxpath.h"
#include "childprocess.h"
#include "holderscan.h"
#include "openfilescan.h"
#include "pidsignal.h"
#include "processkill.h"

#include <QtTest>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <memory>
#include <vector>

namespace {

// A child process that holds files open (directories too) until it is let go
// or killed; a path that does not exist is made an empty file first. It keeps
// no other descriptor of the test, so that letting one holder go never waits
// on another.
class FileHolder : public ChildProcess
{
public:
    explicit FileHolder(const QStringList &paths) : ChildProcess(holding(paths)) {}

private:
    static std::function<void(int)> holding(const QStringList &paths)
    {
        std::vector<QByteArray> encoded;
        for (const QString &path : paths) {
            if (!QFileInfo::exists(path) && QDir().mkpath(QFileInfo(path).path()))
                QFile(path).open(QIODevice::WriteOnly);
            encoded.push_back(QFile::encodeName(path));
        }
        return [encoded](int readyFd) {
            close_range(STDERR_FILENO + 1, readyFd - 1, 0);
            close_range(readyFd + 1, ~0U, 0);
            for (const QByteArray &path : encoded) {
                if (open(path.constData(), O_RDONLY | O_NOCTTY) < 0) {
                    (void)!write(readyFd, "!", 1);
                    _exit(2);
                }
            }
            char byte = 'r';
            if (write(readyFd, &byte, 1) != 1)
                _exit(3);
            while (read(STDIN_FILENO, &byte, 1) < 0 && errno == EINTR) {
            }
            _exit(0);
        };
    }
};

QStringList pathsOf(const CBoxFileList &list, QString BoxFileItem::*field)
{
    QStringList paths;
    for (const BoxFileItem &item : list)
        paths.append(item.*field);
    return paths;
}

// Keeps every holder the scan hands over, /proc directory and all.
class KeepingSink : public HolderSink
{
public:
    bool wants(int) const override { return true; }
    void take(int pid, int fdDir) override { holders.push_back(holderOf(pid, fdDir, *this)); }

    std::vector<HolderProcess> holders;
};

// A descriptor limit that leaves exactly `spare` descriptors free below it.
rlim_t limitLeavingFree(int spare)
{
    int fd = 0;
    for (int freeSeen = 0;; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && ++freeSeen > spare)
            return static_cast<rlim_t>(fd);
    }
}

} // namespace

// What the bus cannot reach: names whose UTF-8 and UTF-16 lengths differ, link
// targets of exact lengths, recycled pids, a descriptor limit. It signals, so
// it runs in the sandbox's own pid namespace.
class TestBoxFileActivity : public QObject
{
    Q_OBJECT

    QString inBox(const QString &name) const { return m_box + QLatin1Char('/') + name; }

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_box;
    BoxDaemonService m_service;

private Q_SLOTS:
    void init()
    {
        m_dir.reset(new QTemporaryDir);
        QVERIFY(m_dir->isValid());
        m_box = m_dir->filePath(QStringLiteral(".box"));
        QVERIFY(QDir().mkpath(m_box));
    }

    void cleanup() { m_dir.reset(); }

    void listsNonAsciiNamesWithRelativePaths()
    {
        // The prefix is compared as UTF-8 bytes, the relative path cut in
        // UTF-16 units: the two lengths differ here.
        const QString box = m_dir->filePath(QStringLiteral("盒子📦"));
        const QString file = box + QStringLiteral("/文件 ✓.txt");
        FileHolder holder({file});
        QVERIFY(holder.isReady());

        CBoxFileList list;
        QCOMPARE(m_service.get_allRunFileList(box, list), 0);
        QCOMPARE(pathsOf(list, &BoxFileItem::strFilePath), QStringList{file});
        QCOMPARE(pathsOf(list, &BoxFileItem::strRelativePath), QStringList{QStringLiteral("文件 ✓.txt")});
    }

    void findsHoldersBelowBoxPathsLongerThan256Bytes()
    {
        // Box paths whose prefix (with its "/") is 256 and 257 bytes long,
        // each holding a file: both holders are found, and both files listed.
        const int base = QFile::encodeName(m_dir->path()).size() + 1;
        QVERIFY(base + 2 < 256);
        const QString fits = m_dir->filePath(QString(256 - base - 1, QLatin1Char('f')));
        const QString longer = m_dir->filePath(QString(257 - base - 1, QLatin1Char('g')));
        QCOMPARE(QFile::encodeName(format_boxPath(fits)).size(), 256);
        QCOMPARE(QFile::encodeName(format_boxPath(longer)).size(), 257);
        FileHolder fitsHolder({fits + QStringLiteral("/file")});
        FileHolder longerHolder({longer + QStringLiteral("/file")});
        QVERIFY(fitsHolder.isReady() && longerHolder.isReady());

        CBoxPidList pids;
        QCOMPARE(get_allOpenFilePidByPath(format_boxPath(fits), pids), 0);
        QCOMPARE(pids, CBoxPidList{fitsHolder.pid()});
        pids.clear();
        QCOMPARE(get_allOpenFilePidByPath(format_boxPath(longer), pids), 0);
        QCOMPARE(pids, CBoxPidList{longerHolder.pid()});

        CBoxFileList list;
        QCOMPARE(m_service.get_allRunFileList(longer, list), 0);
        QCOMPARE(pathsOf(list, &BoxFileItem::strFilePath), QStringList{longer + QStringLiteral("/file")});
    }

    void neverSignalsRecycledPid()
    {
        // The scan finds a holder and keeps its /proc directory; the holder
        // ends and its number goes to a new process before the signal. The
        // signal must not reach the newcomer.
        auto holder = std::make_unique<FileHolder>(QStringList{inBox(QStringLiteral("f"))});
        QVERIFY(holder->isReady());
        const pid_t number = holder->pid();

        KeepingSink sink;
        QVERIFY(scanHolders(format_boxPath(m_box).toUtf8(), sink));
        QCOMPARE(sink.holders.size(), std::size_t(1));
        QCOMPARE(sink.holders.front().pid, static_cast<int>(number));
        QVERIFY(sink.holders.front().procDir);
        QVERIFY(exitedNormally(holder->finish()));
        holder.reset();

        // Hand the number out again; this namespace is the sandbox's own.
        {
            QFile lastPid(QStringLiteral("/proc/sys/kernel/ns_last_pid"));
            if (!lastPid.open(QIODevice::WriteOnly))
                QSKIP("ns_last_pid cannot be written here");
            lastPid.write(QByteArray::number(number - 1));
        }
        FileHolder newcomer({});
        QVERIFY(newcomer.isReady());
        if (newcomer.pid() != number)
            QSKIP("another process took the number first");

        QVERIFY(!sendKill(sink.holders.front()));
        QVERIFY(exitedNormally(newcomer.finish()));
    }

    void killsAllWhenDescriptorsRunOut()
    {
        // Each process found keeps a descriptor until it is signalled; with
        // only a few left, the pending ones are signalled early and none is
        // lost.
        std::vector<std::unique_ptr<FileHolder>> holders;
        for (int i = 0; i < 40; ++i) {
            holders.push_back(std::make_unique<FileHolder>(QStringList{inBox(QStringLiteral("f"))}));
            QVERIFY(holders.back()->isReady());
        }
        CBoxPidList found;
        QCOMPARE(get_allOpenFilePidByPath(format_boxPath(m_box), found), 0);
        QCOMPARE(found.size(), 40);

        struct rlimit saved {};
        QCOMPARE(getrlimit(RLIMIT_NOFILE, &saved), 0);
        struct rlimit tight = saved;
        tight.rlim_cur = limitLeavingFree(6);
        QVERIFY(tight.rlim_cur > 0);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
        const int result = kill_allProcessByPath(m_box, 0);
        QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);

        QCOMPARE(result, 0);
        for (const auto &holder : holders)
            QVERIFY2(killedBySigkill(holder->finish()), qPrintable(QString::number(holder->pid())));
    }
};

QTEST_GUILESS_MAIN(TestBoxFileActivity)
#include "tst_boxfileactivity.moc"
