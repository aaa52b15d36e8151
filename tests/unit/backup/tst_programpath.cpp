#include "boxdaemonbackupservice.h"
#include "scratchtree.h"
#include "syslogcapture.h"
#include "ownedfd.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

namespace {

// A copy of cat started from a directory of ours: it runs until its standard
// input closes, so it ends without being signalled.
class RunningCopy
{
public:
    RunningCopy(int dirFd, const QByteArray &name)
    {
        const QByteArray relative = "./" + name;
        char *const argv[] = {const_cast<char *>(name.constData()), nullptr};
        int input[2];
        int execReport[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(execReport, O_CLOEXEC) != 0)
            return;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(input[0], STDIN_FILENO);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            if (fchdir(dirFd) == 0)
                execv(relative.constData(), argv);
            const int error = errno;
            (void)!write(execReport[1], &error, sizeof error);
            _exit(127);
        }
        close(input[0]);
        close(execReport[1]);
        m_input.reset(input[1]);
        int error = 0;
        // The report pipe closes on a successful exec; only a failure writes.
        const ssize_t got = read(execReport[0], &error, sizeof error);
        close(execReport[0]);
        m_pid = pid;
        if (got > 0)
            stop();
    }
    ~RunningCopy() { stop(); }

    pid_t pid() const { return m_pid; }
    bool isRunning() const { return m_pid > 0; }

private:
    void stop()
    {
        m_input.reset();
        if (m_pid > 0)
            waitpid(m_pid, nullptr, 0);
        m_pid = -1;
    }

    OwnedFd m_input;
    pid_t m_pid = -1;
};

bool copyExecutable(int dirFd, const QByteArray &name)
{
    QFile source(QStringLiteral("/bin/cat"));
    if (!source.open(QIODevice::ReadOnly))
        return false;
    const QByteArray bytes = source.readAll();
    OwnedFd target(openat(dirFd, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755));
    return target.isValid() && write(target.get(), bytes.constData(), bytes.size()) == bytes.size();
}

// Builds directories below dirFd until the path, started at basePath, is
// `length` bytes long once `leafName` is added; returns the innermost
// directory and fills `path` with the whole text.
OwnedFd deepDirectoryFor(int dirFd, const QByteArray &basePath, int length, const QByteArray &leafName,
                          QByteArray &path)
{
    OwnedFd current(fcntl(dirFd, F_DUPFD_CLOEXEC, 0));
    path = basePath;
    for (int level = 0;; ++level) {
        const int left = length - path.size() - 1 - leafName.size();
        if (left <= 0)
            break;
        // Components of at most 200 bytes, sized so the last one fills the
        // length exactly (each costs its size plus a slash).
        const int size = left > 402 ? 200 : left > 201 ? left / 2 : left - 1;
        if (size < 1)
            return {};
        const QByteArray component(size, static_cast<char>('a' + level % 26));
        if (mkdirat(current.get(), component.constData(), 0755) != 0)
            return {};
        OwnedFd next(openat(current.get(), component.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!next.isValid())
            return {};
        current = std::move(next);
        path += '/' + component;
    }
    path += '/' + leafName;
    return current;
}

} // namespace

class TestProgramPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void init() { SyslogCapture::clear(); }

    void refusesOutputSmallerThan256()
    {
        BoxDaemonBackupService service;
        char buffer[300];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(service.get_programPath(getpid(), buffer, 255), -1);
        QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray(sizeof buffer, 'x'));
        QCOMPARE(service.get_programPath(getpid(), buffer, 0), -1);
        QCOMPARE(service.get_programPath(getpid(), buffer, -1), -1);
        QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray(sizeof buffer, 'x'));
    }

    void refusesNullBuffer()
    {
        BoxDaemonBackupService service;
        QCOMPARE(service.get_programPath(getpid(), nullptr, 256), -1);
    }

    void reads256AndMore()
    {
        BoxDaemonBackupService service;
        const QByteArray ownPath
            = QFile::encodeName(QFileInfo(QCoreApplication::applicationFilePath()).canonicalFilePath());
        if (ownPath.size() > 255)
            QSKIP("the test binary's own path does not fit 256 bytes");
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(service.get_programPath(getpid(), buffer, 256), 0);
        QCOMPARE(QByteArray(buffer), ownPath);

        char large[4096];
        QCOMPARE(service.get_programPath(getpid(), large, sizeof large), 0);
        QCOMPARE(QByteArray(large), ownPath);
    }

    void failsForMissingProcess_data()
    {
        QTest::addColumn<int>("pid");
        const pid_t child = fork();
        if (child == 0)
            _exit(0);
        waitpid(child, nullptr, 0);
        QTest::newRow("ended child") << static_cast<int>(child);
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -5;
        QTest::newRow("largest") << INT_MAX;
        QTest::newRow("smallest") << INT_MIN;
    }
    void failsForMissingProcess()
    {
        QFETCH(int, pid);
        BoxDaemonBackupService service;
        char buffer[256];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(service.get_programPath(pid, buffer, sizeof buffer), -1);
        QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray(sizeof buffer, 'x'));
    }

    // The target is cut to size - 1 bytes, always terminated, so a long path
    // can never pass for a short allowed one.
    void cutsLongTargetToFit()
    {
        QTemporaryDir scratch(ScratchTree::temporaryTemplate());
        QVERIFY(scratch.isValid());
        const QString base = QFileInfo(scratch.path()).canonicalFilePath();
        const QString dir = base + QLatin1Char('/') + QString(200, QLatin1Char('d'));
        QVERIFY(ScratchTree::makeDirectories(dir));
        OwnedFd dirFd(open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        const QByteArray name(150, 'p');
        QVERIFY(copyExecutable(dirFd.get(), name));
        const QByteArray fullPath = QFile::encodeName(dir) + '/' + name;

        RunningCopy copy(dirFd.get(), name);
        QVERIFY(copy.isRunning());
        BoxDaemonBackupService service;
        char buffer[300];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(service.get_programPath(copy.pid(), buffer, 256), 0);
        QCOMPARE(std::strlen(buffer), std::size_t(255));
        QCOMPARE(QByteArray(buffer), fullPath.left(255));
        QCOMPARE(buffer[256], 'x');

        char large[4096];
        QCOMPARE(service.get_programPath(copy.pid(), large, sizeof large), 0);
        QCOMPARE(QByteArray(large), fullPath);
    }

    void readsTargetJustBelowTheLimitWhole()
    {
        QTemporaryDir scratch(ScratchTree::temporaryTemplate());
        QVERIFY(scratch.isValid());
        const QByteArray base = QFile::encodeName(QFileInfo(scratch.path()).canonicalFilePath());
        OwnedFd top(open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QByteArray path;
        const QByteArray name("runner");
        OwnedFd deep = deepDirectoryFor(top.get(), base, 4095, name, path);
        QVERIFY(deep.isValid());
        QCOMPARE(path.size(), 4095);
        QVERIFY(copyExecutable(deep.get(), name));

        RunningCopy copy(deep.get(), name);
        QVERIFY(copy.isRunning());
        BoxDaemonBackupService service;
        char buffer[4096];
        QCOMPARE(service.get_programPath(copy.pid(), buffer, sizeof buffer), 0);
        QCOMPARE(QByteArray(buffer), path);
        ScratchTree::removeTree(QFile::decodeName(base));
    }

    // A target of 4096 bytes or more is never taken as a path: the read fails
    // and the buffer stays as it was.
    void failsForTargetOfFullBufferOrMore_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("4096") << 4096;
        QTest::newRow("5000") << 5000;
    }
    void failsForTargetOfFullBufferOrMore()
    {
        QFETCH(int, length);
        QTemporaryDir scratch(ScratchTree::temporaryTemplate());
        QVERIFY(scratch.isValid());
        const QByteArray base = QFile::encodeName(QFileInfo(scratch.path()).canonicalFilePath());
        OwnedFd top(open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QByteArray path;
        const QByteArray name("runner");
        OwnedFd deep = deepDirectoryFor(top.get(), base, length, name, path);
        QVERIFY(deep.isValid());
        QCOMPARE(path.size(), length);
        QVERIFY(copyExecutable(deep.get(), name));

        RunningCopy copy(deep.get(), name);
        QVERIFY(copy.isRunning());
        BoxDaemonBackupService service;
        char buffer[4096];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(service.get_programPath(copy.pid(), buffer, sizeof buffer), -1);
        QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray(sizeof buffer, 'x'));
        ScratchTree::removeTree(QFile::decodeName(base));
    }

    // Without an interface object nothing is asked and nothing is logged.
    void refusesWithoutBusInterface()
    {
        BoxDaemonBackupService service;
        QVERIFY(!service.check_callerPrivilege(nullptr, QStringLiteral(":1.1")));
        QVERIFY(SyslogCapture::lines().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestProgramPath)
#include "tst_programpath.moc"
