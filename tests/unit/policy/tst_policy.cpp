// SPDX-License-Identifier: GPL-2.0-or-later
#include "account.h"
#include "boxpath.h"
#include "boxscope.h"

#include <QtTest>

#include <unistd.h>

// Who may do what, where the bus cannot set the facts up: a gid of 0 for an
// account, linked homes and box roots. The sandbox's alice is uid 1001, gid 1101.
class TestPolicy : public QObject
{
    Q_OBJECT

    static constexpr uid_t kUserUid = 54321;
    QTemporaryDir m_dir;

    static CallerAccount account(uid_t uid, gid_t gid, const QString &name, const QString &home = {})
    {
        return CallerAccount{true, true, uid, gid, name, home};
    }

    QString made(const QString &name, bool ownedByTheAccount)
    {
        const QString path = m_dir.filePath(name);
        const bool ok =
            QDir().mkpath(path)
            && (!ownedByTheAccount || lchown(QFile::encodeName(path).constData(), kUserUid, kUserUid) == 0);
        return ok ? QFileInfo(path).canonicalFilePath() : QString();
    }

private Q_SLOTS:
    // The superuser is told by its uid, never its gid; an unknown uid 0 is no one.
    void rulesByText()
    {
        CallerAccount unknownZero = account(0, 0, QString());
        unknownZero.known = false;
        QVERIFY(!mayChangeCertificationOf(account(1001, 0, QStringLiteral("alice")), QStringLiteral("bob")));
        QVERIFY(mayChangeCertificationOf(account(0, 1101, QStringLiteral("root")), QStringLiteral("bob")));
        QVERIFY(!mayChangeCertificationOf(unknownZero, QString()));
        QCOMPARE(accountOfUid(1001).gid, gid_t(1101));

        const QList<QByteArray> own{"/home/u/.box"};
        const QList<QByteArray> resolved{"/home/u/.box", "/data/boxes/u"};
        const std::tuple<const char *, QList<QByteArray>, bool> rows[] = {
            {"/home/u/.box///", own, true},
            {"/home/u//.box", own, false},
            // Passes as text; the prefix can never begin a resolved
            // descriptor target, so it matches nothing.
            {"/home/u/.box/../../a/.box", own, true},
            {"/data/boxes/u/f", resolved, true},
            {"/data/boxes/u2", resolved, false},
            {"/x", {QByteArray()}, false},
        };
        for (const auto &[path, roots, inside] : rows)
            QVERIFY2(isPathInsideBoxRoots(path, roots) == inside, path);
        QCOMPARE(format_boxPath(QStringLiteral("/h/.box/..//")), QStringLiteral("/h/.box/../"));
    }

    // ".box" may be a link: its target is a second name of the box root only
    // when the account owns it, since the account may point it anywhere. A
    // home reached through a link names the box root by its resolved path too.
    void resolvesLinkedBoxRootsOnlyWhenTheAccountOwnsThem()
    {
        QVERIFY(m_dir.isValid());
        const QString home = made(QStringLiteral("home"), false);
        const QString owned = made(QStringLiteral("owned"), true);
        const QString foreign = made(QStringLiteral("foreign"), false);
        const CallerAccount user = account(kUserUid, 1, QStringLiteral("u"), home);
        const QString box = home + QStringLiteral("/.box");

        QVERIFY(QFile::link(owned, box));
        QCOMPARE(boxRootNamesOf(user), (QList<QByteArray>{box.toUtf8(), owned.toUtf8()}));
        QVERIFY((servedBoxPathOf(user, owned + QStringLiteral("/docs")).verdict == ServedBoxPath::Served));
        QVERIFY(!(servedBoxPathOf(user, m_dir.path()).verdict == ServedBoxPath::Served));

        QVERIFY(QFile::remove(box) && QFile::link(foreign, box));
        QCOMPARE(boxRootNamesOf(user), QList<QByteArray>{box.toUtf8()});
        QVERIFY(!(servedBoxPathOf(user, foreign + QStringLiteral("/f")).verdict == ServedBoxPath::Served));
        CallerAccount stranger = user;
        stranger.known = false;
        QVERIFY(!(servedBoxPathOf(stranger, box).verdict == ServedBoxPath::Served));

        const QString resolvedRoot = made(QStringLiteral("real-home/.box"), true);
        const QString linkedHome = m_dir.filePath(QStringLiteral("linked-home"));
        QVERIFY(QFile::link(m_dir.filePath(QStringLiteral("real-home")), linkedHome));
        QCOMPARE(boxRootNamesOf(account(kUserUid, 1, QStringLiteral("u"), linkedHome)),
                 (QList<QByteArray>{(linkedHome + QStringLiteral("/.box")).toUtf8(), resolvedRoot.toUtf8()}));
    }
};

QTEST_APPLESS_MAIN(TestPolicy)
#include "tst_policy.moc"
