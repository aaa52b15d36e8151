#include "boxscope.h"

#include <QtTest>

#include <unistd.h>

namespace {

CallerAccount accountWithHome(uid_t uid, const QString &home)
{
    CallerAccount account;
    account.known = true;
    account.uid = uid;
    account.userName = QStringLiteral("u");
    account.home = home;
    return account;
}

constexpr uid_t kUserUid = 54321;

} // namespace

class TestBoxScope : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void decidesByText_data();
    void decidesByText();
    void namesTheRootAsTheDatabaseGivesIt();
    void addsResolvedRootOwnedByTheAccount();
    void leavesOutResolvedRootOwnedBySomeoneElse();
    void resolvesLinksAboveTheBox();
    void servesSuperuserAnywhere();
    void refusesUnknownCallers();
    void servesUserOnlyInsideOwnBox();

private:
    QTemporaryDir m_dir;
};

void TestBoxScope::decidesByText_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QStringList>("roots");
    QTest::addColumn<bool>("inside");

    const QStringList own{QStringLiteral("/home/u/.box")};
    QTest::newRow("the root") << QStringLiteral("/home/u/.box") << own << true;
    QTest::newRow("trailing slash") << QStringLiteral("/home/u/.box/") << own << true;
    QTest::newRow("trailing slashes") << QStringLiteral("/home/u/.box///") << own << true;
    QTest::newRow("below") << QStringLiteral("/home/u/.box/docs/a.txt") << own << true;
    QTest::newRow("below, trailing slash") << QStringLiteral("/home/u/.box/docs/") << own << true;
    QTest::newRow("sibling extending the name") << QStringLiteral("/home/u/.box2") << own << false;
    QTest::newRow("inside the sibling") << QStringLiteral("/home/u/.box2/f") << own << false;
    QTest::newRow("other case") << QStringLiteral("/home/u/.BOX") << own << false;
    QTest::newRow("home") << QStringLiteral("/home/u") << own << false;
    QTest::newRow("/home") << QStringLiteral("/home") << own << false;
    QTest::newRow("/") << QStringLiteral("/") << own << false;
    QTest::newRow("//") << QStringLiteral("//") << own << false;
    QTest::newRow("empty") << QString() << own << false;
    QTest::newRow("relative") << QStringLiteral("home/u/.box") << own << false;
    QTest::newRow("doubled slash inside") << QStringLiteral("/home/u//.box") << own << false;
    QTest::newRow("another user's box") << QStringLiteral("/home/alice/.box") << own << false;
    QTest::newRow("prefix of another user's box")
        << QStringLiteral("/home/alice/.box2")
        << QStringList{QStringLiteral("/home/alice/.box")} << false;
    QTest::newRow("another user whose name extends ours")
        << QStringLiteral("/home/ux/.box") << QStringList{QStringLiteral("/home/u")} << false;
    // Passes as text; the prefix "/home/u/.box/../../alice/.box/" can never
    // begin a resolved descriptor target, so it matches nothing (the scan
    // tests show it).
    QTest::newRow("dot-dot climbing out")
        << QStringLiteral("/home/u/.box/../../alice/.box") << own << true;
    QTest::newRow("dot-dot alone after the root") << QStringLiteral("/home/u/.box/..") << own
                                                  << true;
    QTest::newRow("resolved root")
        << QStringLiteral("/data/boxes/u/f")
        << QStringList{QStringLiteral("/home/u/.box"), QStringLiteral("/data/boxes/u")} << true;
    QTest::newRow("beside the resolved root")
        << QStringLiteral("/data/boxes/u2")
        << QStringList{QStringLiteral("/home/u/.box"), QStringLiteral("/data/boxes/u")} << false;
    QTest::newRow("home of /")
        << QStringLiteral("//.box/a") << QStringList{QStringLiteral("//.box")} << true;
    QTest::newRow("home of /, path without the double slash")
        << QStringLiteral("/.box/a") << QStringList{QStringLiteral("//.box")} << false;
    QTest::newRow("no roots") << QStringLiteral("/home/u/.box") << QStringList() << false;
    QTest::newRow("empty root") << QStringLiteral("/x") << QStringList{QString()} << false;
}

void TestBoxScope::decidesByText()
{
    QFETCH(QString, path);
    QFETCH(QStringList, roots);
    QFETCH(bool, inside);
    QCOMPARE(isPathInsideBoxRoots(path, roots), inside);
}

void TestBoxScope::namesTheRootAsTheDatabaseGivesIt()
{
    // No ".box" there: nothing to resolve.
    const CallerAccount account = accountWithHome(kUserUid, QStringLiteral("/nonexistent/u"));
    QCOMPARE(boxRootNamesOf(account), QStringList{QStringLiteral("/nonexistent/u/.box")});
}

void TestBoxScope::addsResolvedRootOwnedByTheAccount()
{
    QVERIFY(m_dir.isValid());
    const QString home = m_dir.filePath(QStringLiteral("owned-home"));
    const QString target = m_dir.filePath(QStringLiteral("owned-target"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(QFile::link(target, home + QStringLiteral("/.box")));
    QCOMPARE(lchown(QFile::encodeName(target).constData(), kUserUid, kUserUid), 0);

    const CallerAccount account = accountWithHome(kUserUid, home);
    const QString realTarget = QFileInfo(target).canonicalFilePath();
    QCOMPARE(boxRootNamesOf(account), (QStringList{home + QStringLiteral("/.box"), realTarget}));
    QVERIFY(isCallerServedForPath(account, realTarget + QStringLiteral("/docs")));
    QVERIFY(isCallerServedForPath(account, home + QStringLiteral("/.box/docs")));
    QVERIFY(!isCallerServedForPath(account, m_dir.path()));
}

void TestBoxScope::leavesOutResolvedRootOwnedBySomeoneElse()
{
    // A user who points ".box" at /home (or another user's box) gains nothing.
    QVERIFY(m_dir.isValid());
    const QString home = m_dir.filePath(QStringLiteral("pointing-home"));
    const QString target = m_dir.filePath(QStringLiteral("not-theirs"));
    QVERIFY(QDir().mkpath(home));
    QVERIFY(QDir().mkpath(target));
    QVERIFY(QFile::link(target, home + QStringLiteral("/.box")));

    const CallerAccount account = accountWithHome(kUserUid, home);
    QCOMPARE(boxRootNamesOf(account), QStringList{home + QStringLiteral("/.box")});
    QVERIFY(!isCallerServedForPath(account, target));
    QVERIFY(!isCallerServedForPath(account, target + QStringLiteral("/f")));
}

void TestBoxScope::resolvesLinksAboveTheBox()
{
    // A home reached through a link (as /home -> /var/home) still names the
    // box root by its resolved path.
    QVERIFY(m_dir.isValid());
    const QString realHome = m_dir.filePath(QStringLiteral("real-home"));
    const QString linkedHome = m_dir.filePath(QStringLiteral("linked-home"));
    QVERIFY(QDir().mkpath(realHome + QStringLiteral("/.box")));
    QCOMPARE(lchown(QFile::encodeName(realHome + QStringLiteral("/.box")).constData(), kUserUid,
                    kUserUid),
             0);
    QVERIFY(QFile::link(realHome, linkedHome));

    const CallerAccount account = accountWithHome(kUserUid, linkedHome);
    const QString resolvedRoot =
        QFileInfo(realHome).canonicalFilePath() + QStringLiteral("/.box");
    QCOMPARE(boxRootNamesOf(account),
             (QStringList{linkedHome + QStringLiteral("/.box"), resolvedRoot}));
    QVERIFY(isCallerServedForPath(account, resolvedRoot + QStringLiteral("/")));
}

void TestBoxScope::servesSuperuserAnywhere()
{
    const CallerAccount root = accountWithHome(0, QStringLiteral("/root"));
    QVERIFY(isCallerServedForPath(root, QStringLiteral("/")));
    QVERIFY(isCallerServedForPath(root, QStringLiteral("/home")));
    QVERIFY(isCallerServedForPath(root, QStringLiteral("/home/alice/.box")));
}

void TestBoxScope::refusesUnknownCallers()
{
    // The bus daemon could not say (uid left at 0), or the uid has no account.
    CallerAccount unreported;
    QVERIFY(!isCallerServedForPath(unreported, QStringLiteral("/root/.box")));
    CallerAccount noAccount;
    noAccount.uid = kUserUid;
    noAccount.home = QStringLiteral("/home/u");
    QVERIFY(!isCallerServedForPath(noAccount, QStringLiteral("/home/u/.box")));
}

void TestBoxScope::servesUserOnlyInsideOwnBox()
{
    const CallerAccount user = accountWithHome(kUserUid, QStringLiteral("/nonexistent/u"));
    QVERIFY(isCallerServedForPath(user, QStringLiteral("/nonexistent/u/.box")));
    QVERIFY(isCallerServedForPath(user, QStringLiteral("/nonexistent/u/.box/")));
    QVERIFY(isCallerServedForPath(user, QStringLiteral("/nonexistent/u/.box/a/b")));
    QVERIFY(!isCallerServedForPath(user, QStringLiteral("/nonexistent/u/.box2")));
    QVERIFY(!isCallerServedForPath(user, QStringLiteral("/nonexistent/u")));
    QVERIFY(!isCallerServedForPath(user, QStringLiteral("/home")));
    QVERIFY(!isCallerServedForPath(user, QStringLiteral("/")));
    QVERIFY(!isCallerServedForPath(user, QStringLiteral("/root/.box")));
}

QTEST_APPLESS_MAIN(TestBoxScope)
#include "tst_boxscope.moc"
