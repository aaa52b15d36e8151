# SPDX-License-Identifier: GPL-2.0-or-later
"""The daemon's own check turns an unprivileged caller of the backup interface
away (this module's bus lets such calls through)."""

from harness import *


class UnprivilegedCaller(DaemonTestCase):
    def test_refused_with_its_uid_and_nothing_touched(self):
        for method, args, user, reply in (("get_allBoxRootEntries", (), "alice", []),
                                          ("format_boxRootEntries", ("s", "bob"), "alice", -1),
                                          ("format_allBoxRootEntries", (), "bob", -1)):
            self.assertEqual(call("/backup", BACKUP_IFACE, method, *args, user=user), ([reply], None))
        self.assertLines(self.syslog.lines(), [
            site(r"get_allBoxRootEntries[N] called"), "check_callerPrivilege[96] failed: uid = 1001",
            site(r"format_boxRootEntries[N] called: strUserName = bob"),
            "check_callerPrivilege[96] failed: uid = 1001", "check_callerPrivilege[96] failed: uid = 1002"])
        self.assertTrue(all(os.path.isdir(box_of(user)) for user in USERS))
