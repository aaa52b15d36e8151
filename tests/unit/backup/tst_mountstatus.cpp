#include "boxdaemonbackupservice.h"
#include "mountstatus.h"
#include "scratchtree.h"
#include "ownedfd.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

libmnt_table *unreadableTable()
{
    return nullptr;
}

// Makes the mount table unreadable for as long as it lives.
class WithoutTable
{
public:
    explicit WithoutTable(bool active)
        : m_previous(active ? replaceMountTableReader(unreadableTable) : nullptr)
    {
    }
    ~WithoutTable()
    {
        if (m_previous)
            replaceMountTableReader(m_previous);
    }

private:
    MountTableReader m_previous;
};

int statusOf(const QString &path)
{
    BoxDaemonBackupService service;
    return service.check_boxMountStatus(QFile::encodeName(path).constData());
}

} // namespace

class TestMountStatus : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_scratch.isValid());
        m_root = QFileInfo(m_scratch.path()).canonicalFilePath();
        QVERIFY(ScratchTree::makeDirectories(m_root + QStringLiteral("/plain")));
        QVERIFY(ScratchTree::makeDirectories(m_root + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::mountTmpfs(m_root + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::makeDirectories(m_root + QStringLiteral("/source/inner")));
        QVERIFY(ScratchTree::makeDirectories(m_root + QStringLiteral("/bind")));
        QVERIFY(ScratchTree::bindMount(m_root + QStringLiteral("/source/inner"), m_root + QStringLiteral("/bind")));
        QVERIFY(ScratchTree::makeSymlink(m_root + QStringLiteral("/tmpfs"), m_root + QStringLiteral("/link-to-tmpfs")));
        QVERIFY(ScratchTree::makeSymlink(m_root + QStringLiteral("/plain"), m_root + QStringLiteral("/link-to-plain")));
        QVERIFY(ScratchTree::makeSymlink(m_root + QStringLiteral("/nowhere"), m_root + QStringLiteral("/broken-link")));
    }

    void cleanupTestCase() { ScratchTree::detachMountsBelow(m_root); }

    void answers_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::addColumn<QString>("relative");
        QTest::addColumn<int>("expected");

        for (const bool withTable : {true, false}) {
            const char *mode = withTable ? "table" : "fallback";
            auto row = [&](const char *what) -> QTestData & { return QTest::addRow("%s: %s", mode, what) << withTable; };
            row("plain directory") << QStringLiteral("plain") << 0;
            row("tmpfs") << QStringLiteral("tmpfs") << 1;
            row("tmpfs with trailing slash") << QStringLiteral("tmpfs/") << 1;
            // The fallback sees only a change of device.
            row("bind mount, same file system") << QStringLiteral("bind") << (withTable ? 1 : 0);
            row("link to a mount point") << QStringLiteral("link-to-tmpfs") << 1;
            row("link to a plain directory") << QStringLiteral("link-to-plain") << 0;
            row("broken link") << QStringLiteral("broken-link") << 0;
            row("missing") << QStringLiteral("missing") << 0;
            row("inside a mount") << QStringLiteral("tmpfs/.") << 1;
        }
    }
    void answers()
    {
        QFETCH(bool, withTable);
        QFETCH(QString, relative);
        QFETCH(int, expected);
        const WithoutTable without(!withTable);
        QCOMPARE(statusOf(m_root + QLatin1Char('/') + relative), expected);
    }

    void rootAndNull_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::newRow("table") << true;
        QTest::newRow("fallback") << false;
    }
    void rootAndNull()
    {
        QFETCH(bool, withTable);
        const WithoutTable without(!withTable);
        QCOMPARE(statusOf(QStringLiteral("/")), 1);
        BoxDaemonBackupService service;
        QCOMPARE(service.check_boxMountStatus(nullptr), 0);
    }

    // In the fallback, "%s/.." must fit 4096 bytes with its terminator: a
    // canonical path of 4093 bytes no longer does.
    void fallbackLengthLimit_data()
    {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("expected");
        QTest::newRow("4092") << 4092 << 1;
        QTest::newRow("4093") << 4093 << 0;
    }
    void fallbackLengthLimit()
    {
        QFETCH(int, length);
        QFETCH(int, expected);
        const QByteArray base = QFile::encodeName(m_root) + "/long" + QByteArray::number(length);
        QVERIFY(mkdir(base.constData(), 0755) == 0);
        QByteArray path = base;
        OwnedFd current(open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        while (path.size() < length) {
            const int left = length - path.size() - 1;
            const int size = left > 402 ? 200 : left > 201 ? left / 2 : left;
            const QByteArray component(size, 'c');
            QVERIFY(mkdirat(current.get(), component.constData(), 0755) == 0);
            current.reset(openat(current.get(), component.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            QVERIFY(current.isValid());
            path += '/' + component;
        }
        QCOMPARE(path.size(), length);
        const QString target = QFile::decodeName(path);
        QVERIFY(ScratchTree::mountTmpfs(target));

        QCOMPARE(statusOf(target), 1);
        const WithoutTable without(true);
        QCOMPARE(statusOf(target), expected);
    }

    void readerReplacementRestores()
    {
        const MountTableReader original = replaceMountTableReader(unreadableTable);
        QVERIFY(replaceMountTableReader(original) == &unreadableTable);
        QCOMPARE(statusOf(m_root + QStringLiteral("/bind")), 1);
        // A null reader puts the reader of this process's own table back.
        replaceMountTableReader(nullptr);
        QCOMPARE(statusOf(m_root + QStringLiteral("/bind")), 1);
    }

private:
    QTemporaryDir m_scratch{ScratchTree::temporaryTemplate()};
    QString m_root;
};

ARKVANE_MOUNTING_TEST_MAIN(TestMountStatus)
#include "tst_mountstatus.moc"
