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

    QTemporaryDir m_dir;
    const QByteArray m_top = QFile::encodeName(m_dir.path());

    bool made(const char *path) const { return QDir().mkpath(QFile::decodeName(m_top + path)); }
    int mounted(const char *path) const
    {
        return mount("x", (m_top + path).constData(), "tmpfs", 0, nullptr);
    }

    struct statx statOf(const char *path) const
    {
        struct statx sx = {};
        statNode(AT_FDCWD, (m_top + path).constData(), AT_SYMLINK_NOFOLLOW, sx);
        return sx;
    }

    BoxTreeIdentities::Root root(const char *path, const char *type) const
    {
        const struct statx sx = statOf(path);
        return {QByteArray(path + 1), int(sx.stx_mnt_id), makedev(sx.stx_dev_major, sx.stx_dev_minor), type,
                qstrcmp(path, "/box") != 0};
    }

    // What the walk from roots finds of each file, after the call was answered or not.
    std::vector<Found> found(const std::vector<BoxTreeIdentities::Root> &roots, bool answered,
                             const std::vector<struct statx> &files) const
    {
        CallGuard guard;
        if (answered)
            guard.expire();
        BoxTreeIdentities tree(*BoxPath::of(m_top), roots, &guard);
        std::vector<Found> result;
        for (const struct statx &sx : files)
            result.push_back(tree.find(makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino));
        return result;
    }

private Q_SLOTS:
    void vouchesOnlyForWhatItSaw()
    {
        for (const char *path : {"/box/a/b", "/box/mnt/covered", "/out", "/other"})
            QVERIFY(made(path));
        QCOMPARE(symlink("../out", (m_top + "/box/a/link").constData()), 0);
        QCOMPARE(mounted("/other"), 0);
        QVERIFY(made("/other/g"));
        // Found, a link itself (not followed), a file outside, the box itself, a file on another device.
        const std::vector<struct statx> files{statOf("/box/a/b"), statOf("/box/a/link"), statOf("/out"),
                                              statOf("/box"), statOf("/other/g")};
        const std::vector<std::pair<std::vector<BoxTreeIdentities::Root>, bool>> rows{
            {{root("/box", "tmpfs")}, false},
            {{root("/box", "tmpfs"), root("/other", "fuse.x")}, false}, // may stall: not walked
            {{root("/box", "tmpfs")}, true}};
        const std::vector<std::vector<Found>> expected{
            {Found::Inside, Found::Inside, Found::Outside, Found::Outside, Found::Outside},
            {Found::Inside, Found::Inside, Found::Outside, Found::Outside, Found::Unknown},
            std::vector<Found>(5, Found::Unknown)};
        for (std::size_t i = 0; i < rows.size(); ++i)
            QCOMPARE(found(rows[i].first, rows[i].second, files), expected[i]);
        // A mount below the box is walked as a root of its own; the directory it covers cannot be seen into.
        const struct statx covered = statOf("/box/mnt/covered");
        QCOMPARE(mounted("/box/mnt"), 0);
        QCOMPARE(
            found({root("/box", "tmpfs"), root("/box/mnt", "tmpfs")}, false, {statOf("/box/mnt"), covered}),
            (std::vector<Found>{Found::Inside, Found::Unknown}));
    }
};

QTEST_GUILESS_MAIN(TestBoxTree)
#include "tst_boxtree.moc"
