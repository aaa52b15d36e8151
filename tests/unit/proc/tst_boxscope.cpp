#include "boxpath.h"
#include "boxscope.h"

#include <QtTest>

#include <unistd.h>

// Box paths as text: the prefix the scans match, whether a path lies in a
// box root, and the names an account's box root goes by. The cases the
// end-to-end tests reach through the bus are left to them.
class TestBoxScope : public QObject
{
    Q_OBJECT

    static constexpr uid_t kUserUid = 54321;
    QTemporaryDir m_dir;

    static CallerAccount accountWithHome(const QString &home)
    {
        CallerAccount account;
        account.known = true;
        account.uid = kUserUid;
        account.userName = QStringLiteral("u");
        account.home = home;
        return account;
    }

    QString made(const QString &name, bool ownedByTheAccount)
    {
        const QString path = m_dir.filePath(name);
        const bool ok = QDir().mkpath(path)
            && (!ownedByTheAccount || lchown(QFile::encodeName(path).constData(), kUserUid, kUserUid) == 0);
        return ok ? QFileInfo(path).canonicalFilePath() : QString();
    }

private Q_SLOTS:
    void formatsPrefix_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("null") << QString() << QString();
        QTest::newRow("only slashes") << QStringLiteral("////") << QString();
        QTest::newRow("inner double slash kept") << QStringLiteral("//.box") << QStringLiteral("//.box/");
        QTest::newRow("relative kept as text") << QStringLiteral("box") << QStringLiteral("box/");
        QTest::newRow("dot-dot kept as text") << QStringLiteral("/home/u/.box/..") << QStringLiteral("/home/u/.box/../");
        QTest::newRow("non-ASCII") << QStringLiteral("/home/u/.box/盒子") << QStringLiteral("/home/u/.box/盒子/");
    }
    void formatsPrefix()
    {
        QFETCH(QString, path);
        QFETCH(QString, prefix);
        const QString formatted = format_boxPath(path);
        QCOMPARE(formatted, prefix);
        QCOMPARE(formatted.isEmpty(), prefix.isEmpty());
    }

    void decidesByText_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("roots");
        QTest::addColumn<bool>("inside");

        const QStringList own{QStringLiteral("/home/u/.box")};
        const QStringList resolved{QStringLiteral("/home/u/.box"), QStringLiteral("/data/boxes/u")};
        QTest::newRow("trailing slash") << QStringLiteral("/home/u/.box/") << own << true;
        QTest::newRow("trailing slashes") << QStringLiteral("/home/u/.box///") << own << true;
        QTest::newRow("below, trailing slash") << QStringLiteral("/home/u/.box/docs/") << own << true;
        QTest::newRow("sibling extending the name") << QStringLiteral("/home/u/.box2") << own << false;
        QTest::newRow("inside the sibling") << QStringLiteral("/home/u/.box2/f") << own << false;
        QTest::newRow("other case") << QStringLiteral("/home/u/.BOX") << own << false;
        QTest::newRow("//") << QStringLiteral("//") << own << false;
        QTest::newRow("empty") << QString() << own << false;
        QTest::newRow("doubled slash inside") << QStringLiteral("/home/u//.box") << own << false;
        QTest::newRow("prefix of another user's box")
            << QStringLiteral("/home/alice/.box2") << QStringList{QStringLiteral("/home/alice/.box")} << false;
        QTest::newRow("another user whose name extends ours")
            << QStringLiteral("/home/ux/.box") << QStringList{QStringLiteral("/home/u")} << false;
        // Passes as text; the prefix "/home/u/.box/../../alice/.box/" can
        // never begin a resolved descriptor target, so it matches nothing.
        QTest::newRow("dot-dot climbing out") << QStringLiteral("/home/u/.box/../../alice/.box") << own << true;
        QTest::newRow("dot-dot alone after the root") << QStringLiteral("/home/u/.box/..") << own << true;
        QTest::newRow("resolved root") << QStringLiteral("/data/boxes/u/f") << resolved << true;
        QTest::newRow("beside the resolved root") << QStringLiteral("/data/boxes/u2") << resolved << false;
        QTest::newRow("home of /") << QStringLiteral("//.box/a") << QStringList{QStringLiteral("//.box")} << true;
        QTest::newRow("home of /, path without the double slash")
            << QStringLiteral("/.box/a") << QStringList{QStringLiteral("//.box")} << false;
        QTest::newRow("no roots") << QStringLiteral("/home/u/.box") << QStringList() << false;
        QTest::newRow("empty root") << QStringLiteral("/x") << QStringList{QString()} << false;
    }
    void decidesByText()
    {
        QFETCH(QString, path);
        QFETCH(QStringList, roots);
        QFETCH(bool, inside);
        QCOMPARE(isPathInsideBoxRoots(path, roots), inside);
    }

    // ".box" may be a link: its target is a second name of the box root only
    // when the account owns it, since the account may point it anywhere, as
    // at /home or another user's box.
    void addsResolvedRootOnlyWhenTheAccountOwnsIt()
    {
        QVERIFY(m_dir.isValid());
        const QString home = made(QStringLiteral("home"), false);
        const QString owned = made(QStringLiteral("owned"), true);
        const QString foreign = made(QStringLiteral("foreign"), false);
        const CallerAccount account = accountWithHome(home);
        const QString box = home + QStringLiteral("/.box");

        QVERIFY(QFile::link(owned, box));
        QCOMPARE(boxRootNamesOf(account), (QStringList{box, owned}));
        QVERIFY(isCallerServedForPath(account, owned + QStringLiteral("/docs")));
        QVERIFY(isCallerServedForPath(account, box + QStringLiteral("/docs")));
        QVERIFY(!isCallerServedForPath(account, m_dir.path()));

        QVERIFY(QFile::remove(box) && QFile::link(foreign, box));
        QCOMPARE(boxRootNamesOf(account), QStringList{box});
        QVERIFY(!isCallerServedForPath(account, foreign));
        QVERIFY(!isCallerServedForPath(account, foreign + QStringLiteral("/f")));
    }

    void resolvesLinksAboveTheBox()
    {
        // A home reached through a link (as /home -> /var/home) still names
        // the box root by its resolved path.
        QVERIFY(m_dir.isValid());
        const QString resolvedRoot = made(QStringLiteral("real-home/.box"), true);
        const QString linkedHome = m_dir.filePath(QStringLiteral("linked-home"));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("real-home")), linkedHome));

        const CallerAccount account = accountWithHome(linkedHome);
        QCOMPARE(boxRootNamesOf(account), (QStringList{linkedHome + QStringLiteral("/.box"), resolvedRoot}));
        QVERIFY(isCallerServedForPath(account, resolvedRoot + QStringLiteral("/")));
    }
};

QTEST_APPLESS_MAIN(TestBoxScope)
#include "tst_boxscope.moc"
