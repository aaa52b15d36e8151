"""Start-up, the two exported interfaces, their signatures and the bus policy."""

import json
import os
import re
import subprocess
import unittest

from harness import (BACKUP_IFACE, LOGFILE_IFACE, SERVICE, TESTCLIENT, Daemon, DaemonTestCase,
                     backup_tool, box_of, busctl, call, client, make_tree)

LOGFILE_TEXT = """  <interface name="com.tavrin.arkvane">
    <method name="get_allRunFileList">
      <annotation value="CBoxFileList" name="org.qtproject.QtDBus.QtTypeName.Out1"/>
      <arg direction="out" type="i"/>
      <arg direction="out" type="a(ss)" name="list"/>
      <arg direction="in" type="s" name="strBoxPath"/>
    </method>
    <method name="kill_allProcessSignal">
      <arg direction="in" type="s" name="strBoxPath"/>
      <arg direction="out" type="i"/>
    </method>
    <method name="is_certificationRequired">
      <arg direction="in" type="s" name="strUserName"/>
      <arg direction="out" type="b"/>
    </method>
    <method name="set_certificationInterval">
      <arg direction="in" type="s" name="strUserName"/>
      <arg direction="in" type="i" name="nInterval"/>
      <arg direction="out" type="i"/>
    </method>
    <method name="get_certificationInterval">
      <arg direction="in" type="s" name="strUserName"/>
      <arg direction="out" type="i"/>
    </method>
    <method name="set_certificationPassed">
      <arg direction="in" type="s" name="strUserName"/>
    </method>
  </interface>
"""
BACKUP_TEXT = """  <interface name="com.tavrin.arkvane.backup">
    <method name="get_allBoxRootEntries">
      <arg direction="out" type="as"/>
    </method>
    <method name="format_allBoxRootEntries">
      <arg direction="out" type="i"/>
    </method>
    <method name="format_boxRootEntries">
      <arg direction="in" type="s" name="strUserName"/>
      <arg direction="out" type="i"/>
    </method>
  </interface>
"""
STANDARD = ["org.freedesktop.DBus.Properties", "org.freedesktop.DBus.Introspectable",
            "org.freedesktop.DBus.Peer"]


def introspect(path, user="root"):
    data, error = call(path, "org.freedesktop.DBus.Introspectable", "Introspect", user=user)
    assert error is None, error
    return data[0]


def reply_signature(path, iface, method, signature=None, *args, user="root"):
    done = busctl("--json=short", "call", SERVICE, path, iface, method,
                  *([signature] + [str(a) for a in args] if signature else []), user=user)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)["type"] if done.stdout.strip() else ""


class Introspection(DaemonTestCase):
    def test_each_object_holds_its_interface_text_exactly(self):
        for path, iface, expected, user in (("/logfile", LOGFILE_IFACE, LOGFILE_TEXT, "alice"),
                                            ("/backup", BACKUP_IFACE, BACKUP_TEXT, "root")):
            with self.subTest(path=path):
                text = introspect(path, user)
                self.assertIn(expected, text)
                self.assertEqual(re.findall(r'<interface name="([^"]+)"', text), [iface] + STANDARD)


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
