"""The daemon's own check turns an unprivileged caller of the backup
interface away (this module's bus lets such calls through)."""

import os
import unittest

from harness import BACKUP_IFACE, DaemonTestCase, box_of, call


class UnprivilegedCaller(DaemonTestCase):
    def test_refused_with_its_uid_and_nothing_touched(self):
        data, error = call("/backup", BACKUP_IFACE, "get_allBoxRootEntries", user="alice")
        self.assertIsNone(error)
        self.assertEqual(data, [[]])
        data, error = call("/backup", BACKUP_IFACE, "format_boxRootEntries", "s", "bob",
                           user="alice")
        self.assertEqual(data, [-1])
        data, error = call("/backup", BACKUP_IFACE, "format_allBoxRootEntries", user="bob")
        self.assertEqual(data, [-1])
        lines = self.syslog.lines()
        self.assertEqual(len(lines), 5, lines)
        self.assertRegex(lines[0], r"^get_allBoxRootEntries\[\d+\] called$")
        self.assertEqual(lines[1], "check_callerPrivilege[96] failed: uid = 1001")
        self.assertRegex(lines[2], r"^format_boxRootEntries\[\d+\] called: strUserName = bob$")
        self.assertEqual(lines[3], "check_callerPrivilege[96] failed: uid = 1001")
        self.assertEqual(lines[4], "check_callerPrivilege[96] failed: uid = 1002")
        for user in ("root", "alice", "bob"):
            self.assertTrue(os.path.isdir(box_of(user)))


if __name__ == "__main__":
    unittest.main()
