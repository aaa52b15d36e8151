#include "boxdaemonservice.h"
#include "boxpath.h"
#include "descriptorlimit.h"
#include "fileholder.h"
#include "messagecapture.h"
#include "openfilelist.h"
#include "openfilescan.h"

#include <QtTest>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>

namespace {

const QStringList kEmptyPathLine{QStringLiteral("Lsof函数参数为空")};

bool makeFile(const QString &path)
{
    if (!QDir().mkpath(QFileInfo(path).path()))
        return false;
    QFile file(path);
    return file.open(QIODevice::WriteOnly);
}

QStringList fullPaths(const CBoxFileList &list)
{
    QStringList paths;
    for (const BoxFileItem &item : list)
        paths.append(item.strFilePath);
    return paths;
}

QStringList relativePaths(const CBoxFileList &list)
{
    QStringList paths;
    for (const BoxFileItem &item : list)
        paths.append(item.strRelativePath);
    return paths;
}

} // namespace

// The listing and the pid scan over real processes holding real files; they
// only read /proc, so they run anywhere.
class TestOpenFileScan : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void listsNothingWhenNothingIsHeld();
    void listsEachFileOnceInFirstFoundOrder();
    void listsDirectoriesInsideButNotTheBox();
    void leavesOutDeletedFileButFindsItsHolder();
    void leavesOutSiblingAndOtherCase();
    void findsFilesThroughTrailingSlashes_data();
    void findsFilesThroughTrailingSlashes();
    void failsEmptyAndSlashOnlyPaths_data();
    void failsEmptyAndSlashOnlyPaths();
    void removesOnlyTheLeadingBoxPath();
    void keepsNonAsciiNamesAndRelativePaths();
    void listsManyFilesOnceInOrder();
    void appendsToListWithoutRepeatingItsFiles();
    void dotDotPathReachesNothingOutside();

    void pidScanFindsEachHolderOnceInProcOrder();
    void pidScanKeepsIdsAlreadyListed();
    void pidScanFailsEmptyPathLeavingListAlone();
    void pidScanFindsNothingForUnheldBox();
    void pidScanFindsOwnProcess();
    void pidScanMatchesFirst256BytesOfTargets();

private:
    QString inBox(const QString &name) const { return m_box + QLatin1Char('/') + name; }

    QScopedPointer<QTemporaryDir> m_dir;
    QString m_box;
    BoxDaemonService m_service;
};

void TestOpenFileScan::initTestCase()
{
    // One holder below keeps well over a thousand files open.
    raiseDescriptorLimit();
}

void TestOpenFileScan::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_box = m_dir->filePath(QStringLiteral(".box"));
    QVERIFY(QDir().mkpath(m_box));
}

void TestOpenFileScan::cleanup()
{
    m_dir.reset();
}

void TestOpenFileScan::listsNothingWhenNothingIsHeld()
{
    QVERIFY(makeFile(inBox(QStringLiteral("idle"))));
    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(m_box, list), 0);
    QVERIFY(list.isEmpty());
}

void TestOpenFileScan::listsEachFileOnceInFirstFoundOrder()
{
    const QString one = inBox(QStringLiteral("one"));
    const QString two = inBox(QStringLiteral("two"));
    const QString three = inBox(QStringLiteral("three"));
    for (const QString &path : {one, two, three})
        QVERIFY(makeFile(path));

    FileHolder first({one, two, two});
    FileHolder second({two, three});
    QVERIFY(first.isReady() && second.isReady());

    // /proc lists processes by number, each one's descriptors by number.
    const QStringList expected = first.pid() < second.pid() ? QStringList{one, two, three}
                                                            : QStringList{two, three, one};
    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(m_box, list), 0);
    QCOMPARE(fullPaths(list), expected);
    QStringList expectedRelative = expected;
    for (QString &path : expectedRelative)
        path.remove(0, m_box.size() + 1);
    QCOMPARE(relativePaths(list), expectedRelative);
}

void TestOpenFileScan::listsDirectoriesInsideButNotTheBox()
{
    const QString sub = inBox(QStringLiteral("sub"));
    QVERIFY(QDir().mkpath(sub));
    FileHolder holder({m_box, sub});
    QVERIFY(holder.isReady());

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(m_box, list), 0);
    QCOMPARE(fullPaths(list), QStringList{sub});
    QCOMPARE(relativePaths(list), QStringList{QStringLiteral("sub")});
}

void TestOpenFileScan::leavesOutDeletedFileButFindsItsHolder()
{
    const QString gone = inBox(QStringLiteral("gone"));
    QVERIFY(makeFile(gone));
    FileHolder holder({gone});
    QVERIFY(holder.isReady());
    QVERIFY(QFile::remove(gone));

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(m_box, list), 0);
    QVERIFY(list.isEmpty());

    CBoxPidList pids;
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(m_box), pids), 0);
    QCOMPARE(pids, CBoxPidList{holder.pid()});
}

void TestOpenFileScan::leavesOutSiblingAndOtherCase()
{
    const QString sibling = m_dir->filePath(QStringLiteral(".box2/f"));
    const QString otherCase = m_dir->filePath(QStringLiteral(".BOX/f"));
    QVERIFY(makeFile(sibling));
    QVERIFY(makeFile(otherCase));
    FileHolder holder({sibling, otherCase, m_box});
    QVERIFY(holder.isReady());

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(m_box, list), 0);
    QVERIFY(list.isEmpty());
    CBoxPidList pids;
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(m_box), pids), 0);
    QVERIFY(pids.isEmpty());
}

void TestOpenFileScan::findsFilesThroughTrailingSlashes_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("none") << QString();
    QTest::newRow("one slash") << QStringLiteral("/");
    QTest::newRow("three slashes") << QStringLiteral("///");
}

void TestOpenFileScan::findsFilesThroughTrailingSlashes()
{
    QFETCH(QString, suffix);
    const QString file = inBox(QStringLiteral("held"));
    QVERIFY(makeFile(file));
    FileHolder holder({file});
    QVERIFY(holder.isReady());

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(m_box + suffix, list), 0);
    QCOMPARE(fullPaths(list), QStringList{file});
    QCOMPARE(relativePaths(list), QStringList{QStringLiteral("held")});
}

void TestOpenFileScan::failsEmptyAndSlashOnlyPaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("null") << QString();
    QTest::newRow("empty") << QStringLiteral("");
    QTest::newRow("/") << QStringLiteral("/");
    QTest::newRow("///") << QStringLiteral("///");
}

void TestOpenFileScan::failsEmptyAndSlashOnlyPaths()
{
    QFETCH(QString, path);
    // Something is held, so matching everything would show.
    const QString file = inBox(QStringLiteral("held"));
    QVERIFY(makeFile(file));
    FileHolder holder({file});
    QVERIFY(holder.isReady());

    MessageCapture messages;
    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(path, list), -1);
    QVERIFY(list.isEmpty());
    QCOMPARE(messages.lines(), kEmptyPathLine);
}

void TestOpenFileScan::removesOnlyTheLeadingBoxPath()
{
    // The box path appears again inside the box: /T/a/b/T/a/c in the box /T/a.
    const QString box = m_dir->filePath(QStringLiteral("a"));
    const QString nested = box + QStringLiteral("/b") + box + QStringLiteral("/c");
    QVERIFY(makeFile(nested));
    FileHolder holder({nested});
    QVERIFY(holder.isReady());

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(box, list), 0);
    QCOMPARE(fullPaths(list), QStringList{nested});
    QCOMPARE(relativePaths(list), QStringList{QStringLiteral("b") + box + QStringLiteral("/c")});
}

void TestOpenFileScan::keepsNonAsciiNamesAndRelativePaths()
{
    // The prefix is compared as UTF-8 bytes, the relative path cut in UTF-16
    // units: the two lengths differ here.
    const QString box = m_dir->filePath(QStringLiteral("盒子📦"));
    const QString file = box + QStringLiteral("/文件 ✓.txt");
    QVERIFY(makeFile(file));
    FileHolder holder({file});
    QVERIFY(holder.isReady());

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(box, list), 0);
    QCOMPARE(fullPaths(list), QStringList{file});
    QCOMPARE(relativePaths(list), QStringList{QStringLiteral("文件 ✓.txt")});
}

void TestOpenFileScan::listsManyFilesOnceInOrder()
{
    // Two processes hold the same files, each several times over: every file
    // once, in the order of the first process's descriptors.
    struct rlimit limit {};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int count = static_cast<int>(std::min<rlim_t>(1500, limit.rlim_cur - 200));
    QVERIFY(count >= 100);
    QStringList files;
    for (int i = 0; i < count; ++i) {
        files.append(inBox(QStringLiteral("many/f%1").arg(i)));
        QVERIFY(makeFile(files.constLast()));
    }
    FileHolder first(files + files.mid(0, 100));
    FileHolder second(files.mid(count / 2) + files.mid(0, count / 2));
    QVERIFY(first.isReady() && second.isReady());

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(m_box, list), 0);
    const QStringList expected = first.pid() < second.pid()
        ? files
        : files.mid(count / 2) + files.mid(0, count / 2);
    QCOMPARE(fullPaths(list), expected);
}

void TestOpenFileScan::appendsToListWithoutRepeatingItsFiles()
{
    const QString known = inBox(QStringLiteral("known"));
    const QString fresh = inBox(QStringLiteral("fresh"));
    QVERIFY(makeFile(known));
    QVERIFY(makeFile(fresh));
    FileHolder holder({known, fresh});
    QVERIFY(holder.isReady());

    CBoxFileList list{BoxFileItem{QStringLiteral("/elsewhere"), QStringLiteral("e")},
                      BoxFileItem{known, QStringLiteral("kept as it was")}};
    QCOMPARE(m_service.get_allFileStatus(format_boxPath(m_box), list), 0);
    QCOMPARE(fullPaths(list), (QStringList{QStringLiteral("/elsewhere"), known, fresh}));
    QCOMPARE(list.at(1).strRelativePath, QStringLiteral("kept as it was"));
    QCOMPARE(list.at(2).strRelativePath, QStringLiteral("fresh"));
}

void TestOpenFileScan::dotDotPathReachesNothingOutside()
{
    // What the text scope lets through: a path climbing out of the box.
    const QString outside = m_dir->filePath(QStringLiteral("outside/f"));
    QVERIFY(makeFile(outside));
    FileHolder holder({outside});
    QVERIFY(holder.isReady());

    const QString climbing = m_box + QStringLiteral("/../outside");
    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(climbing, list), 0);
    QVERIFY(list.isEmpty());
    CBoxPidList pids;
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(climbing), pids), 0);
    QVERIFY(pids.isEmpty());
}

void TestOpenFileScan::pidScanFindsEachHolderOnceInProcOrder()
{
    QStringList ten;
    for (int i = 0; i < 10; ++i) {
        ten.append(inBox(QStringLiteral("f%1").arg(i)));
        QVERIFY(makeFile(ten.constLast()));
    }
    FileHolder many(ten);
    FileHolder one({ten.constFirst()});
    FileHolder none({m_box});
    QVERIFY(many.isReady() && one.isReady() && none.isReady());

    CBoxPidList pids;
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(m_box), pids), 0);
    CBoxPidList expected{many.pid(), one.pid()};
    std::sort(expected.begin(), expected.end());
    QCOMPARE(pids, expected);
}

void TestOpenFileScan::pidScanKeepsIdsAlreadyListed()
{
    const QString file = inBox(QStringLiteral("f"));
    QVERIFY(makeFile(file));
    FileHolder first({file});
    FileHolder second({file});
    QVERIFY(first.isReady() && second.isReady());
    const int later = std::max(first.pid(), second.pid());
    const int earlier = std::min(first.pid(), second.pid());

    CBoxPidList pids{7, later};
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(m_box), pids), 0);
    QCOMPARE(pids, (CBoxPidList{7, later, earlier}));
}

void TestOpenFileScan::pidScanFailsEmptyPathLeavingListAlone()
{
    MessageCapture messages;
    CBoxPidList pids{42};
    QCOMPARE(get_allOpenFilePidByPath(QString(), pids), -1);
    QCOMPARE(pids, CBoxPidList{42});
    QCOMPARE(messages.lines(), kEmptyPathLine);
}

void TestOpenFileScan::pidScanFindsNothingForUnheldBox()
{
    QVERIFY(makeFile(inBox(QStringLiteral("idle"))));
    CBoxPidList pids{3};
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(m_box), pids), 0);
    QCOMPARE(pids, CBoxPidList{3});
}

void TestOpenFileScan::pidScanFindsOwnProcess()
{
    const QString file = inBox(QStringLiteral("mine"));
    QVERIFY(makeFile(file));
    QFile mine(file);
    QVERIFY(mine.open(QIODevice::ReadOnly));

    CBoxPidList pids;
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(m_box), pids), 0);
    QCOMPARE(pids, CBoxPidList{static_cast<int>(getpid())});
}

void TestOpenFileScan::pidScanMatchesFirst256BytesOfTargets()
{
    // Box paths whose prefix (with its "/") is 256 and 257 bytes long, each
    // holding a file: the scan compares 256 bytes of a target, the listing
    // 4096.
    const int base = QFile::encodeName(m_dir->path()).size() + 1;
    QVERIFY(base + 2 < 256);
    const QString fits = m_dir->filePath(QString(256 - base - 1, QLatin1Char('f')));
    const QString tooLong = m_dir->filePath(QString(257 - base - 1, QLatin1Char('g')));
    QCOMPARE(QFile::encodeName(format_boxPath(fits)).size(), 256);
    QCOMPARE(QFile::encodeName(format_boxPath(tooLong)).size(), 257);
    const QString fitsFile = fits + QStringLiteral("/file");
    const QString tooLongFile = tooLong + QStringLiteral("/file");
    QVERIFY(makeFile(fitsFile));
    QVERIFY(makeFile(tooLongFile));
    FileHolder fitsHolder({fitsFile});
    FileHolder tooLongHolder({tooLongFile});
    QVERIFY(fitsHolder.isReady() && tooLongHolder.isReady());

    CBoxPidList pids;
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(fits), pids), 0);
    QCOMPARE(pids, CBoxPidList{fitsHolder.pid()});
    pids.clear();
    QCOMPARE(get_allOpenFilePidByPath(format_boxPath(tooLong), pids), 0);
    QVERIFY(pids.isEmpty());

    CBoxFileList list;
    QCOMPARE(m_service.get_allRunFileList(tooLong, list), 0);
    QCOMPARE(fullPaths(list), QStringList{tooLongFile});
}

QTEST_GUILESS_MAIN(TestOpenFileScan)
#include "tst_openfilescan.moc"
