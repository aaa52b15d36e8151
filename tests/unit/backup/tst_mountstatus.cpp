#include "boxdaemonbackupservice.h"
#include "mountstatus.h"
#include "scratchtree.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>

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

} // namespace

// The mount check with the mount table, and with the fallback that compares
// the devices of the path and its parent when the table cannot be read.
class TestMountStatus : public QObject
{
    Q_OBJECT

    QTemporaryDir m_scratch{ScratchTree::temporaryTemplate()};
    QString m_root;
    QString m_longest[2];

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_scratch.isValid());
        m_root = QFileInfo(m_scratch.path()).canonicalFilePath();
        QVERIFY(ScratchTree::mountTmpfs(m_root));
        QVERIFY(ScratchTree::build(m_root, {QStringLiteral("plain/"), QStringLiteral("tmpfs/"),
                                            QStringLiteral("source/inner/"), QStringLiteral("bind/"),
                                            QStringLiteral("link-to-tmpfs->tmpfs"),
                                            QStringLiteral("link-to-plain->plain"),
                                            QStringLiteral("broken-link->nowhere")}));
        QVERIFY(ScratchTree::mountTmpfs(m_root + QStringLiteral("/tmpfs")));
        QVERIFY(ScratchTree::bindMount(m_root + QStringLiteral("/source/inner"), m_root + QStringLiteral("/bind")));
        // Mount points whose paths are 4092 and 4093 bytes long.
        for (int i = 0; i < 2; ++i) {
            const QByteArray base = QFile::encodeName(m_root) + "/long" + QByteArray::number(i);
            QVERIFY(QDir().mkpath(QFile::decodeName(base)));
            const OwnedFd top(open(base.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            QByteArray path;
            QVERIFY(ScratchTree::makeDirectoryOfLength(top.get(), base, 4092 + i, path).isValid());
            m_longest[i] = QFile::decodeName(path);
            QVERIFY(ScratchTree::mountTmpfs(m_longest[i]));
        }
    }

    void cleanupTestCase() { ScratchTree::detachMount(m_root); }

    void answers_data()
    {
        QTest::addColumn<bool>("withTable");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("expected");

        for (const bool withTable : {true, false}) {
            auto row = [&](const char *what, const QString &path) -> QTestData & {
                return QTest::addRow("%s: %s", withTable ? "table" : "fallback", what) << withTable << path;
            };
            const QString root = m_root + QLatin1Char('/');
            row("plain directory", root + QStringLiteral("plain")) << 0;
            row("tmpfs", root + QStringLiteral("tmpfs")) << 1;
            row("tmpfs with trailing slash", root + QStringLiteral("tmpfs/")) << 1;
            // The fallback sees only a change of device.
            row("bind mount, same file system", root + QStringLiteral("bind")) << (withTable ? 1 : 0);
            row("link to a mount point", root + QStringLiteral("link-to-tmpfs")) << 1;
            row("link to a plain directory", root + QStringLiteral("link-to-plain")) << 0;
            row("broken link", root + QStringLiteral("broken-link")) << 0;
            row("missing", root + QStringLiteral("missing")) << 0;
            row("inside a mount", root + QStringLiteral("tmpfs/.")) << 1;
            row("/", QStringLiteral("/")) << 1;
            row("null", QString()) << 0;
            // In the fallback, "%s/.." must fit 4096 bytes with its
            // terminator: a path of 4093 bytes no longer does.
            row("4092 bytes", m_longest[0]) << 1;
            row("4093 bytes", m_longest[1]) << (withTable ? 1 : 0);
        }
    }
    void answers()
    {
        QFETCH(bool, withTable);
        QFETCH(QString, path);
        QFETCH(int, expected);
        const WithoutTable without(!withTable);
        const QByteArray encoded = QFile::encodeName(path);
        BoxDaemonBackupService service;
        QCOMPARE(service.check_boxMountStatus(path.isNull() ? nullptr : encoded.constData()), expected);
    }
};

ARKVANE_MOUNTING_TEST_MAIN(TestMountStatus)
#include "tst_mountstatus.moc"
