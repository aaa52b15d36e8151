"""Start-up, the two exported interfaces, their signatures and the bus policy."""

import json
import os
import subprocess
import unittest
from xml.etree import ElementTree

from harness import (BACKUP_IFACE, LOGFILE_IFACE, SERVICE, TESTCLIENT, Daemon, DaemonTestCase,
                     backup_tool, box_of, busctl, call, client, make_tree)

# Each method as the introspection text gives it: its arguments in order
# (direction, type, name) and its annotations.
LOGFILE_METHODS = [
    "get_allRunFileList(out i, out a(ss) list, in s strBoxPath) Out1=CBoxFileList",
    "kill_allProcessSignal(in s strBoxPath, out i)",
    "is_certificationRequired(in s strUserName, out b)",
    "set_certificationInterval(in s strUserName, in i nInterval, out i)",
    "get_certificationInterval(in s strUserName, out i)",
    "set_certificationPassed(in s strUserName)",
]
BACKUP_METHODS = [
    "get_allBoxRootEntries(out as)",
    "format_allBoxRootEntries(out i)",
    "format_boxRootEntries(in s strUserName, out i)",
]
STANDARD = ["org.freedesktop.DBus.Properties", "org.freedesktop.DBus.Introspectable",
            "org.freedesktop.DBus.Peer"]


def introspect(path, user="root"):
    """The interfaces of the object, in order, and the methods of the first."""
    data, error = call(path, "org.freedesktop.DBus.Introspectable", "Introspect", user=user)
    assert error is None, error
    interfaces = ElementTree.fromstring(data[0]).findall("interface")
    methods = []
    for method in interfaces[0].findall("method"):
        args = ", ".join(" ".join(filter(None, (a.get("direction"), a.get("type"), a.get("name"))))
                         for a in method.findall("arg"))
        notes = "".join(f" {n.get('name').rsplit('.', 1)[1]}={n.get('value')}"
                        for n in method.findall("annotation"))
        methods.append(f"{method.get('name')}({args}){notes}")
    return [i.get("name") for i in interfaces], methods


def reply_signature(path, iface, method, signature=None, *args, user="root"):
    done = busctl("--json=short", "call", SERVICE, path, iface, method,
                  *([signature] + [str(a) for a in args] if signature else []), user=user)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)["type"] if done.stdout.strip() else ""


class Introspection(DaemonTestCase):
    def test_each_object_holds_its_interface_text_exactly(self):
        for path, iface, methods, user in (("/logfile", LOGFILE_IFACE, LOGFILE_METHODS, "alice"),
                                           ("/backup", BACKUP_IFACE, BACKUP_METHODS, "root")):
            with self.subTest(path=path):
                self.assertEqual(introspect(path, user), ([iface] + STANDARD, methods))


class Signatures(DaemonTestCase):
    def test_each_method_replies_with_its_signature(self):
        cases = [
            ("/logfile", LOGFILE_IFACE, "get_allRunFileList", "ia(ss)", "s", "/nonexistent/box"),
            ("/logfile", LOGFILE_IFACE, "kill_allProcessSignal", "i", "s", ""),
            ("/logfile", LOGFILE_IFACE, "is_certificationRequired", "b", "s", "root"),
            ("/logfile", LOGFILE_IFACE, "set_certificationInterval", "i", "si", "root", 600),
            ("/logfile", LOGFILE_IFACE, "get_certificationInterval", "i", "s", "root"),
            ("/logfile", LOGFILE_IFACE, "set_certificationPassed", "", "s", "root"),
            ("/backup", BACKUP_IFACE, "get_allBoxRootEntries", "as", None),
            ("/backup", BACKUP_IFACE, "format_boxRootEntries", "i", "s", "nobody-here"),
        ]
        for path, iface, method, expected, signature, *args in cases:
            with self.subTest(method=method):
                self.assertEqual(reply_signature(path, iface, method, signature, *args), expected)


class BackupByName(DaemonTestCase):
    def test_a_name_only_spelled_like_root_is_not_root(self):
        (keep,) = make_tree(box_of("root"), ["keep"])
        self.assertEqual(backup_tool("backup-format", "Root")["result"], 0)
        self.assertTrue(os.path.exists(keep))


class Policy(DaemonTestCase):
    def test_unprivileged_caller_is_turned_away_from_backup(self):
        for method in ("get_allBoxRootEntries", "format_allBoxRootEntries"):
            with self.subTest(method=method):
                data, error = call("/backup", BACKUP_IFACE, method, user="alice")
                self.assertIsNone(data)
                self.assertRegex(error, r"(?i)access denied|not allowed|rejected")
        self.assertIsNone(call("/backup", BACKUP_IFACE, "format_boxRootEntries", "s", "alice",
                               user="bob")[0])

    def test_unprivileged_process_cannot_own_the_name(self):
        reply = client("own", "com.tavrin.arkvane", user="alice")
        self.assertFalse(reply["owned"])


class NameAlreadyOwned(unittest.TestCase):
    def test_second_daemon_exits_with_one_line_and_registers_nothing(self):
        owner = subprocess.Popen([TESTCLIENT, "own", SERVICE], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        try:
            self.assertIn('"owned":true', owner.stdout.readline())
            daemon = Daemon().start(wait=False)
            self.assertEqual(daemon.wait_exit(), 1)
            self.assertEqual(len(daemon.lines), 1, daemon.lines)
            self.assertNotIn("gogogo", daemon.lines)
            # The name still belongs to the first owner, which exports nothing.
            done = busctl("call", SERVICE, "/logfile", "org.freedesktop.DBus.Introspectable",
                          "Introspect")
            self.assertNotIn(LOGFILE_IFACE + '"', done.stdout)
        finally:
            owner.stdin.close()
            owner.wait()
            owner.stdout.close()

    def test_start_up_writes_only_gogogo(self):
        daemon = Daemon().start()
        try:
            self.assertEqual(daemon.lines, ["gogogo"])
        finally:
            daemon.stop()


if __name__ == "__main__":
    unittest.main()
