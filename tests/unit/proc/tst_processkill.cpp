#include "boxdaemonservice.h"
#include "boxpath.h"
#include "descriptorlimit.h"
#include "fileholder.h"
#include "holderscan.h"
#include "messagecapture.h"
#include "openfilescan.h"
#include "pidsignal.h"
#include "processkill.h"

#include <QtTest>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace {

bool makeFile(const QString &path)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

CBoxPidList sorted(CBoxPidList pids)
{
    std::sort(pids.begin(), pids.end());
    return pids;
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
    std::vector<bool> openFds;
    DIR *dir = opendir("/proc/self/fd");
    if (!dir)
        return 0;
    const int listing = dirfd(dir);
    while (const struct dirent *entry = readdir(dir)) {
        const int fd = atoi(entry->d_name);
        if (entry->d_name[0] == '.' || fd == listing)
            continue;
        if (static_cast<std::size_t>(fd) >= openFds.size())
            openFds.resize(static_cast<std::size_t>(fd) + 1);
        openFds[static_cast<std::size_t>(fd)] = true;
    }
    closedir(dir);
    std::size_t fd = 0;
    for (int freeSeen = 0;; ++fd) {
        const bool isOpen = fd < openFds.size() && openFds[fd];
        if (!isOpen && ++freeSeen > spare)
            break;
    }
    return static_cast<rlim_t>(fd);
}

} // namespace

// Ends real processes holding real files: it runs in the sandbox's private
// pid namespace, and before every kill it checks that the processes the scan
// sees are its own.
class TestProcessKill : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void killsNothingWhenNothingIsHeld();
    void sparesTheExceptedProcessOnly();
    void sparesCallerGivenAsExceptPid();
    void neverSignalsItself();
    void killsProcessHoldingManyFilesOnce();
    void sparesHolderOfTheBoxDirectoryOnly();
    void killsHolderOfDeletedFile();
    void killsThroughTrailingSlashes();
    void refusesEmptyAndSlashOnlyPaths_data();
    void refusesEmptyAndSlashOnlyPaths();
    void busSlotCalledDirectlySparesNoOne();
    void busSlotLogsThreeLinesForEmptyPath();
    void dotDotPathReachesNothingOutside();
    void neverSignalsRecycledPid();
    void killsAllWhenDescriptorsRunOut();

private:
    QString inBox(const QString &name) const { return m_box + QLatin1Char('/') + name; }
    // The processes holding files in the box, as the scan sees them.
    CBoxPidList holdersOf(const QString &box) const;

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_box;
    BoxDaemonService m_service;
};

void TestProcessKill::initTestCase()
{
    raiseDescriptorLimit();
}

void TestProcessKill::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_box = m_dir->filePath(QStringLiteral(".box"));
    QVERIFY(QDir().mkpath(m_box));
}

void TestProcessKill::cleanup()
{
    m_dir.reset();
}

CBoxPidList TestProcessKill::holdersOf(const QString &box) const
{
    CBoxPidList pids;
    if (get_allOpenFilePidByPath(format_boxPath(box), pids) != 0)
        return {-1};
    return sorted(pids);
}

void TestProcessKill::killsNothingWhenNothingIsHeld()
{
    QVERIFY(makeFile(inBox(QStringLiteral("idle"))));
    FileHolder bystander({m_dir->path()});
    QVERIFY(bystander.isReady());
    QVERIFY(holdersOf(m_box).isEmpty());

    QCOMPARE(kill_allProcessByPath(m_box, 0), 0);
    QVERIFY(exitedNormally(bystander.finish()));
}

void TestProcessKill::sparesTheExceptedProcessOnly()
{
    const QString one = inBox(QStringLiteral("one"));
    const QString two = inBox(QStringLiteral("sub/two"));
    QVERIFY(makeFile(one));
    QVERIFY(makeFile(two));
    FileHolder first({one});
    FileHolder spared({two});
    FileHolder both({one, two});
    QVERIFY(first.isReady() && spared.isReady() && both.isReady());
    QCOMPARE(holdersOf(m_box), sorted({first.pid(), spared.pid(), both.pid()}));

    QCOMPARE(kill_allProcessByPath(m_box, spared.pid()), 0);
    QVERIFY(killedBySigkill(first.finish()));
    QVERIFY(killedBySigkill(both.finish()));
    QVERIFY(exitedNormally(spared.finish()));
}

void TestProcessKill::sparesCallerGivenAsExceptPid()
{
    const QString file = inBox(QStringLiteral("shared"));
    QVERIFY(makeFile(file));
    QFile mine(file);
    QVERIFY(mine.open(QIODevice::ReadOnly));
    FileHolder first({file});
    FileHolder second({file});
    QVERIFY(first.isReady() && second.isReady());
    QCOMPARE(holdersOf(m_box), sorted({static_cast<int>(getpid()), first.pid(), second.pid()}));

    QCOMPARE(kill_allProcessByPath(m_box, static_cast<int>(getpid())), 0);
    QVERIFY(killedBySigkill(first.finish()));
    QVERIFY(killedBySigkill(second.finish()));
}

void TestProcessKill::neverSignalsItself()
{
    // A child stands for the daemon (the test process may be the namespace's
    // pid 1, which SIGKILL from inside cannot end): it holds a file in the box
    // and runs the kill sparing someone else. It must come through.
    const QString file = inBox(QStringLiteral("held-by-daemon"));
    QVERIFY(makeFile(file));
    FileHolder other({file});
    QVERIFY(other.isReady());
    const QByteArray encoded = QFile::encodeName(file);

    const pid_t daemon = fork();
    if (daemon == 0) {
        const int held = open(encoded.constData(), O_RDONLY);
        const int result = kill_allProcessByPath(m_box, 0);
        _exit(held >= 0 && result == 0 ? 0 : 1);
    }
    QVERIFY(daemon > 0);
    int status = 0;
    QCOMPARE(waitpid(daemon, &status, 0), daemon);
    QVERIFY(exitedNormally(status));
    QVERIFY(killedBySigkill(other.finish()));
}

void TestProcessKill::killsProcessHoldingManyFilesOnce()
{
    QStringList files;
    for (int i = 0; i < 300; ++i) {
        files.append(inBox(QStringLiteral("many/f%1").arg(i)));
        QVERIFY(makeFile(files.constLast()));
    }
    FileHolder holder(files);
    QVERIFY(holder.isReady());
    QCOMPARE(holdersOf(m_box), CBoxPidList{holder.pid()});

    QCOMPARE(kill_allProcessByPath(m_box, 0), 0);
    QVERIFY(killedBySigkill(holder.finish()));
}

void TestProcessKill::sparesHolderOfTheBoxDirectoryOnly()
{
    const QString file = inBox(QStringLiteral("f"));
    QVERIFY(makeFile(file));
    FileHolder browser({m_box});
    FileHolder user({file});
    QVERIFY(browser.isReady() && user.isReady());
    QCOMPARE(holdersOf(m_box), CBoxPidList{user.pid()});

    QCOMPARE(kill_allProcessByPath(m_box, 0), 0);
    QVERIFY(killedBySigkill(user.finish()));
    QVERIFY(exitedNormally(browser.finish()));
}

void TestProcessKill::killsHolderOfDeletedFile()
{
    const QString gone = inBox(QStringLiteral("gone"));
    QVERIFY(makeFile(gone));
    FileHolder holder({gone});
    QVERIFY(holder.isReady());
    QVERIFY(QFile::remove(gone));
    QCOMPARE(holdersOf(m_box), CBoxPidList{holder.pid()});

    QCOMPARE(kill_allProcessByPath(m_box, 0), 0);
    QVERIFY(killedBySigkill(holder.finish()));
}

void TestProcessKill::killsThroughTrailingSlashes()
{
    const QString file = inBox(QStringLiteral("f"));
    QVERIFY(makeFile(file));
    FileHolder first({file});
    FileHolder second({file});
    QVERIFY(first.isReady() && second.isReady());
    QCOMPARE(holdersOf(m_box), sorted({first.pid(), second.pid()}));

    QCOMPARE(kill_allProcessByPath(m_box + QStringLiteral("/"), 0), 0);
    QVERIFY(killedBySigkill(first.finish()));
    QCOMPARE(m_service.kill_allProcessSignal(m_box + QStringLiteral("//")), 0);
    QVERIFY(killedBySigkill(second.finish()));
}

void TestProcessKill::refusesEmptyAndSlashOnlyPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("null") << QString();
    QTest::newRow("empty") << QStringLiteral("");
    QTest::newRow("/") << QStringLiteral("/");
    QTest::newRow("//") << QStringLiteral("//");
}

void TestProcessKill::refusesEmptyAndSlashOnlyPaths()
{
    QFETCH(QString, path);
    // A holder that "everything" would take in.
    const QString file = inBox(QStringLiteral("f"));
    QVERIFY(makeFile(file));
    FileHolder holder({file});
    QVERIFY(holder.isReady());

    MessageCapture messages;
    QCOMPARE(kill_allProcessByPath(path, 0), -1);
    QCOMPARE(messages.lines(), (QStringList{QStringLiteral("Lsof函数参数为空"),
                                            QStringLiteral("get_allOpenFilePidByPath error.")}));
    QVERIFY(exitedNormally(holder.finish()));
}

void TestProcessKill::busSlotCalledDirectlySparesNoOne()
{
    // Not from the bus: no caller to scope or to spare.
    const QString file = inBox(QStringLiteral("f"));
    QVERIFY(makeFile(file));
    FileHolder holder({file});
    QVERIFY(holder.isReady());
    QCOMPARE(holdersOf(m_box), CBoxPidList{holder.pid()});

    MessageCapture messages;
    QCOMPARE(m_service.kill_allProcessSignal(m_box), 0);
    QVERIFY(messages.lines().isEmpty());
    QVERIFY(killedBySigkill(holder.finish()));
}

void TestProcessKill::busSlotLogsThreeLinesForEmptyPath()
{
    const QStringList expected{QStringLiteral("Lsof函数参数为空"),
                               QStringLiteral("get_allOpenFilePidByPath error."),
                               QStringLiteral("get_allFileStatus error.")};
    for (const QString &path : {QString(), QStringLiteral("///")}) {
        MessageCapture messages;
        QCOMPARE(m_service.kill_allProcessSignal(path), -1);
        QCOMPARE(messages.lines(), expected);
    }
}

void TestProcessKill::dotDotPathReachesNothingOutside()
{
    const QString outside = m_dir->filePath(QStringLiteral("outside/f"));
    QVERIFY(makeFile(outside));
    FileHolder holder({outside});
    QVERIFY(holder.isReady());

    QCOMPARE(kill_allProcessByPath(m_box + QStringLiteral("/../outside"), 0), 0);
    QVERIFY(exitedNormally(holder.finish()));
}

void TestProcessKill::neverSignalsRecycledPid()
{
    // The scan finds a holder and keeps its /proc directory; the holder ends
    // and its number goes to a new process before the signal. The signal must
    // not reach the newcomer.
    const QString file = inBox(QStringLiteral("f"));
    QVERIFY(makeFile(file));
    auto holder = std::make_unique<FileHolder>(QStringList{file});
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

void TestProcessKill::killsAllWhenDescriptorsRunOut()
{
    // Each process found keeps a descriptor until it is signalled; with only
    // a few left, the pending ones are signalled early and none is lost.
    const QString file = inBox(QStringLiteral("f"));
    QVERIFY(makeFile(file));
    std::vector<std::unique_ptr<FileHolder>> holders;
    for (int i = 0; i < 40; ++i) {
        holders.push_back(std::make_unique<FileHolder>(QStringList{file}));
        QVERIFY(holders.back()->isReady());
    }
    QCOMPARE(holdersOf(m_box).size(), 40);

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

QTEST_GUILESS_MAIN(TestProcessKill)
#include "tst_processkill.moc"
