// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxjudge.h"
#include "callguard.h"
#include "statnode.h"

#include <QtTest>

#include <sys/mount.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using Found = BoxTreeIdentities::Found;

// What a walk of a box's tree vouches for. It mounts, so it runs in the sandbox.
class TestBoxTree : public QObject
{
    Q_OBJECT

    QByteArray m_top;

    struct statx statOf(const char *path) const
    {
        struct statx sx {};
        statNode(AT_FDCWD, (m_top + path).constData(), AT_SYMLINK_NOFOLLOW, sx);
        return sx;
    }

    BoxTreeIdentities::Root root(const char *path, const char *type, bool countsItself) const
    {
        const struct statx sx = statOf(path);
        return {m_top + path, int(sx.stx_mnt_id), makedev(sx.stx_dev_major, sx.stx_dev_minor), type,
                countsItself};
    }

    // What the walk from roots finds of each identity, after the call was answered or not.
    static std::vector<Found> found(const std::vector<BoxTreeIdentities::Root> &roots, bool answered,
                                    const std::vector<struct statx> &identities)
    {
        CallGuard guard;
        if (answered)
            guard.expire();
        BoxTreeIdentities tree(roots, &guard);
        std::vector<Found> result;
        for (const struct statx &sx : identities)
            result.push_back(tree.find(makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino));
        return result;
    }

private Q_SLOTS:
    void vouchesOnlyForWhatItSaw()
    {
        QTemporaryDir dir;
        m_top = QFile::encodeName(dir.path());
        for (const char *path : {"/box/a/b", "/box/mnt/covered", "/out", "/other"})
            QVERIFY(QDir().mkpath(QFile::decodeName(m_top + path)));
        QCOMPARE(symlink("../out", (m_top + "/box/a/link").constData()), 0);
        QCOMPARE(mount("x", (m_top + "/other").constData(), "tmpfs", 0, nullptr), 0);
        QVERIFY(QDir().mkpath(QFile::decodeName(m_top + "/other/g")));
        // The box itself does not count; its link is not followed.
        const std::vector<struct statx> seen{statOf("/box/a/b"), statOf("/box/a/link"), statOf("/out"),
                                             statOf("/box"), statOf("/other/g")};
        const auto box = root("/box", "tmpfs", false);
        const auto stalling = root("/other", "fuse.x", true);
        QCOMPARE(found({box}, false, seen),
                 (std::vector<Found>{Found::Inside, Found::Inside, Found::Outside, Found::Outside, Found::Outside}));
        // A root that may stall is not walked: only its own device is left uncertain.
        QCOMPARE(found({box, stalling}, false, seen),
                 (std::vector<Found>{Found::Inside, Found::Inside, Found::Outside, Found::Outside, Found::Unknown}));
        // Cut short by the call's answer: nothing is vouched for.
        QCOMPARE(found({box}, true, seen), std::vector<Found>(5, Found::Unknown));
        // A mount below the box is walked as a root of its own; what it covers cannot be seen.
        const struct statx covered = statOf("/box/mnt/covered");
        QCOMPARE(mount("y", (m_top + "/box/mnt").constData(), "tmpfs", 0, nullptr), 0);
        QCOMPARE(found({box, root("/box/mnt", "tmpfs", true)}, false, {seen[0], statOf("/box/mnt"), covered, seen[2]}),
                 (std::vector<Found>{Found::Inside, Found::Inside, Found::Unknown, Found::Unknown}));
        QCOMPARE(umount2((m_top + "/box/mnt").constData(), MNT_DETACH) | umount2((m_top + "/other").constData(), MNT_DETACH), 0);
    }
};

QTEST_GUILESS_MAIN(TestBoxTree)
#include "tst_boxtree.moc"
