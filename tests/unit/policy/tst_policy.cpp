#include "account.h"
#include "boxpath.h"
#include "boxscope.h"

#include <QtTest>

#include <unistd.h>

Q_DECLARE_METATYPE(CallerAccount)

// Who may do what, as the daemon and the client both decide it. Runs in the
// sandbox, whose alice is uid 1001 with gid 1101.
class TestPolicy : public QObject
{
    Q_OBJECT

    static constexpr uid_t kUserUid = 54321;
    QTemporaryDir m_dir;

    static CallerAccount account(uid_t uid, gid_t gid, const QString &name, const QString &home = {})
    {
        CallerAccount account;
        account.uidKnown = account.known = true;
        account.uid = uid;
        account.gid = gid;
        account.userName = name;
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
    void accountsComeFromThePasswordDatabase()
    {
        const CallerAccount alice = accountOfUid(1001);
        QVERIFY(alice.uidKnown && alice.known && !alice.isSuperuser());
        QCOMPARE(alice.gid, gid_t(1101));
        QCOMPARE(alice.userName, QStringLiteral("alice"));
        QCOMPARE(alice.boxRoot(), QStringLiteral("/home/alice/.box"));
        QVERIFY(accountOfUid(0).isSuperuser());
        const CallerAccount stranger = accountOfUid(4242);
        QVERIFY(stranger.uidKnown && !stranger.known && !stranger.isSuperuser());
        QCOMPARE(stranger.uid, uid_t(4242));
    }

    // The superuser is told by its uid, never its gid; others by their name.
    void certificationOwnership_data()
    {
        QTest::addColumn<CallerAccount>("caller");
        QTest::addColumn<QString>("userName");
        QTest::addColumn<bool>("may");
        const CallerAccount alice = account(1001, 0, QStringLiteral("alice"));
        const CallerAccount root = account(0, 1101, QStringLiteral("root"));
        CallerAccount unknownZero = account(0, 0, QString());
        unknownZero.known = false;
        QTest::newRow("own name") << alice << QStringLiteral("alice") << true;
        QTest::newRow("other name, gid 0") << alice << QStringLiteral("bob") << false;
        QTest::newRow("other case") << alice << QStringLiteral("Alice") << false;
        QTest::newRow("empty name") << alice << QString() << false;
        QTest::newRow("root, gid not 0") << root << QStringLiteral("bob") << true;
        QTest::newRow("uid 0 without an entry") << unknownZero << QString() << false;
    }
    void certificationOwnership()
    {
        QFETCH(CallerAccount, caller);
        QFETCH(QString, userName);
        QFETCH(bool, may);
        QCOMPARE(mayChangeCertificationOf(caller, userName), may);
    }

    // Trailing slashes, and the prefix the scans match: a path of slashes
    // only names nothing.
    void trimsAndFormats_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("trimmed");
        QTest::addColumn<QString>("prefix");
        QTest::newRow("null") << QString() << QString() << QString();
        QTest::newRow("///") << QStringLiteral("///") << QString() << QString();
        QTest::newRow("trailing") << QStringLiteral("/home/u/.box///") << QStringLiteral("/home/u/.box")
                                  << QStringLiteral("/home/u/.box/");
        QTest::newRow("inner double slash kept") << QStringLiteral("//.box") << QStringLiteral("//.box")
                                                 << QStringLiteral("//.box/");
        QTest::newRow("dot-dot kept") << QStringLiteral("/h/.box/..") << QStringLiteral("/h/.box/..")
                                      << QStringLiteral("/h/.box/../");
    }
    void trimsAndFormats()
    {
        QFETCH(QString, path);
        QFETCH(QString, trimmed);
        QFETCH(QString, prefix);
        QCOMPARE(withoutTrailingSlashes(path), trimmed);
        QCOMPARE(format_boxPath(path), prefix);
    }

    void decidesByText_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QStringList>("roots");
        QTest::addColumn<bool>("inside");
        const QStringList own{QStringLiteral("/home/u/.box")};
        const QStringList resolved{QStringLiteral("/home/u/.box"), QStringLiteral("/data/boxes/u")};
        QTest::newRow("trailing slashes") << QStringLiteral("/home/u/.box///") << own << true;
        QTest::newRow("below") << QStringLiteral("/home/u/.box/docs/") << own << true;
        QTest::newRow("other case") << QStringLiteral("/home/u/.BOX") << own << false;
        QTest::newRow("doubled slash inside") << QStringLiteral("/home/u//.box") << own << false;
        QTest::newRow("extending the home") << QStringLiteral("/home/ux/.box") << QStringList{QStringLiteral("/home/u")}
                                            << false;
        // Passes as text; the prefix can never begin a resolved descriptor
        // target, so it matches nothing.
        QTest::newRow("dot-dot climbing out") << QStringLiteral("/home/u/.box/../../a/.box") << own << true;
        QTest::newRow("resolved root") << QStringLiteral("/data/boxes/u/f") << resolved << true;
        QTest::newRow("beside the resolved root") << QStringLiteral("/data/boxes/u2") << resolved << false;
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
    // when the account owns it, since the account may point it anywhere.
    void addsResolvedRootOnlyWhenTheAccountOwnsIt()
    {
        QVERIFY(m_dir.isValid());
        const QString home = made(QStringLiteral("home"), false);
        const QString owned = made(QStringLiteral("owned"), true);
        const QString foreign = made(QStringLiteral("foreign"), false);
        const CallerAccount user = account(kUserUid, 1, QStringLiteral("u"), home);
        const QString box = home + QStringLiteral("/.box");

        QVERIFY(QFile::link(owned, box));
        QCOMPARE(boxRootNamesOf(user), (QStringList{box, owned}));
        QVERIFY(isCallerServedForPath(user, owned + QStringLiteral("/docs")));
        QVERIFY(!isCallerServedForPath(user, m_dir.path()));

        QVERIFY(QFile::remove(box) && QFile::link(foreign, box));
        QCOMPARE(boxRootNamesOf(user), QStringList{box});
        QVERIFY(!isCallerServedForPath(user, foreign + QStringLiteral("/f")));

        CallerAccount stranger = user;
        stranger.known = false;
        QVERIFY(!isCallerServedForPath(stranger, box));
        QVERIFY(isCallerServedForPath(account(0, 1, QStringLiteral("root"), home), m_dir.path()));
    }

    // A home reached through a link (as /home -> /var/home) still names the
    // box root by its resolved path.
    void resolvesLinksAboveTheBox()
    {
        QVERIFY(m_dir.isValid());
        const QString resolvedRoot = made(QStringLiteral("real-home/.box"), true);
        const QString linkedHome = m_dir.filePath(QStringLiteral("linked-home"));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("real-home")), linkedHome));
        const CallerAccount user = account(kUserUid, 1, QStringLiteral("u"), linkedHome);
        QCOMPARE(boxRootNamesOf(user), (QStringList{linkedHome + QStringLiteral("/.box"), resolvedRoot}));
    }
};

QTEST_APPLESS_MAIN(TestPolicy)
#include "tst_policy.moc"
