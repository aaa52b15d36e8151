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
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>

namespace {

// A copy of cat, written to the directory at dirFd: its program path is as
// long as that directory makes it.
bool copyCat(int dirFd, const char *name)
{
    const OwnedFd cat(open("/bin/cat", O_RDONLY | O_CLOEXEC));
    const OwnedFd copy(openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755));
    struct stat info {};
    return fstat(cat.get(), &info) == 0 && sendfile(copy.get(), cat.get(), nullptr, info.st_size) == info.st_size;
}

// For a child process: runs that copy, which lasts until its input closes.
std::function<void(int)> running(int dirFd, const char *name)
{
    return [dirFd, name](int readyFd) {
        char *const argv[] = {const_cast<char *>(name), nullptr};
        execveat(dirFd, name, argv, environ, 0);
        (void)!write(readyFd, "!", 1);
        _exit(127);
    };
}

} // namespace

class TestProgramPath : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    // Below 256 bytes, without a buffer, for a process that ended: -1, and
    // the buffer as it was.
    void refusesAndLeavesTheBuffer()
    {
        const pid_t ended = fork();
        if (ended == 0)
            _exit(0);
        waitpid(ended, nullptr, 0);
        BoxDaemonBackupService service;
        char buffer[300];
        std::memset(buffer, 'x', sizeof buffer);
        QCOMPARE(service.get_programPath(getpid(), buffer, 255), -1);
        QCOMPARE(service.get_programPath(ended, buffer, 256), -1);
        QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray(sizeof buffer, 'x'));
        QCOMPARE(service.get_programPath(getpid(), nullptr, 256), -1);
    }

    // A target is cut to size - 1 bytes, always terminated, so a long path can
    // never pass for a short admitted one; nothing past the size is written.
    // A target of 4096 bytes or more is no path at all: the read fails and the
    // buffer stays as it was.
    void readsTargetsThatFit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("expected");
        QTest::newRow("400 cut to 255") << 400 << 256 << 0;
        QTest::newRow("4095 whole") << 4095 << 4096 << 0;
        QTest::newRow("4096") << 4096 << 4096 << -1;
        QTest::newRow("5000") << 5000 << 4096 << -1;
    }
    void readsTargetsThatFit()
    {
        QFETCH(int, length);
        QFETCH(int, size);
        QFETCH(int, expected);
        QTemporaryDir scratch(ScratchTree::temporaryTemplate());
        QVERIFY(scratch.isValid());
        const QByteArray base = QFile::encodeName(QFileInfo(scratch.path()).canonicalFilePath());
        const OwnedFd top(open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        QByteArray path;
        const OwnedFd deep = ScratchTree::makeDirectoryOfLength(top.get(), base, length - 7, path);
        QVERIFY(deep.isValid());
        path += "/runner";
        QCOMPARE(path.size(), length);

        QVERIFY(copyCat(deep.get(), "runner"));
        {
            ChildProcess copy(running(deep.get(), "runner"));
            QVERIFY(copy.isReady());
            BoxDaemonBackupService service;
            char buffer[4097];
            std::memset(buffer, 'x', sizeof buffer);
            QCOMPARE(service.get_programPath(copy.pid(), buffer, size), expected);
            if (expected == 0) {
                QCOMPARE(QByteArray(buffer), path.left(size - 1));
                QCOMPARE(buffer[size], 'x');
            } else {
                QCOMPARE(QByteArray(buffer, sizeof buffer), QByteArray(sizeof buffer, 'x'));
            }
        }
        // Deeper than any path can name: only descriptors reach the bottom.
        QVERIFY(removeDirectoryContents(top.get()));
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
