"""Start-up, the two exported interfaces, their signatures and the bus policy."""

import os
import re
import subprocess
import unittest

from harness import (BACKUP_IFACE, LOGFILE_IFACE, SERVICE, Daemon, DaemonTestCase, busctl,
                     call, client, logfile, run, TESTCLIENT)

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                    "data")


def interface_text(xml_name):
    with open(os.path.join(DATA, xml_name)) as f:
        xml = f.read()
    return xml[xml.index("  <interface"):xml.index("</interface>") + len("</interface>\n")]


def introspect(path, user="root"):
    data, error = call(path, "org.freedesktop.DBus.Introspectable", "Introspect", user=user)
    assert error is None, error
    return data[0]


def reply_signature(path, iface, method, signature=None, *args, user="root"):
    done = busctl("--json=short", "call", SERVICE, path, iface, method,
                  *([signature] + [str(a) for a in args] if signature else []), user=user)
    assert done.returncode == 0, done.stderr
    out = done.stdout.strip()
    if not out:
        return ""
    return __import__("json").loads(out)["type"]


class Introspection(DaemonTestCase):
    def test_logfile_holds_the_interface_text_exactly(self):
        text = introspect("/logfile")
        self.assertIn(interface_text("com.tavrin.arkvane.xml"), text)
        self.assertEqual(re.findall(r'<interface name="([^"]+)"', text),
                         [LOGFILE_IFACE, "org.freedesktop.DBus.Properties",
                          "org.freedesktop.DBus.Introspectable", "org.freedesktop.DBus.Peer"])

    def test_backup_holds_the_interface_text_exactly(self):
        text = introspect("/backup")
        self.assertIn(interface_text("com.tavrin.arkvane.backup.xml"), text)
        self.assertEqual(re.findall(r'<interface name="([^"]+)"', text),
                         [BACKUP_IFACE, "org.freedesktop.DBus.Properties",
                          "org.freedesktop.DBus.Introspectable", "org.freedesktop.DBus.Peer"])

    def test_service_objects_own_slots_are_not_exported(self):
        for path in ("/logfile", "/backup"):
            text = introspect(path)
            for name in ("get_allFileStatus", "check_callerPrivilege", "get_programPath",
                         "format_boxRootEntry\"", "get_allBoxRootEntriesInner",
                         "check_boxMountStatus", "handleTimeOut"):
                self.assertNotIn(name, text)

    def test_unprivileged_user_may_introspect(self):
        self.assertIn(interface_text("com.tavrin.arkvane.xml"), introspect("/logfile", "alice"))


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

    def test_typed_client_reads_the_file_list(self):
        reply = client("files", "/nonexistent/box")
        self.assertEqual(reply["signature"], "ia(ss)")
        self.assertIsInstance(reply["result"], int)
        self.assertEqual(reply["list"], [])


class BadCalls(DaemonTestCase):
    def assert_still_serving(self):
        self.assertEqual(reply_signature("/logfile", LOGFILE_IFACE, "get_certificationInterval",
                                         "s", "x"), "i")

    def test_unknown_method_gets_the_standard_error(self):
        done = busctl("call", SERVICE, "/logfile", LOGFILE_IFACE, "no_suchMethod")
        self.assertNotEqual(done.returncode, 0)
        self.assertRegex(done.stderr, r"(?i)unknown method|no such method")
        self.assert_still_serving()

    def test_wrong_argument_types_get_the_standard_error(self):
        for signature, args in (("i", ["7"]), ("ss", ["a", "b"]), ("", []), ("as", ["1", "x"])):
            with self.subTest(signature=signature):
                done = busctl("call", SERVICE, "/logfile", LOGFILE_IFACE, "kill_allProcessSignal",
                              *([signature] + args if signature else []))
                self.assertNotEqual(done.returncode, 0)
                self.assertRegex(done.stderr, r"(?i)unknown method|no such method|invalid arg")
        self.assert_still_serving()

    def test_unknown_interface_and_object(self):
        done = busctl("call", SERVICE, "/logfile", "com.tavrin.nothing", "get_allRunFileList",
                      "s", "/x")
        self.assertNotEqual(done.returncode, 0)
        done = busctl("call", SERVICE, "/nothing", LOGFILE_IFACE, "get_allRunFileList", "s", "/x")
        self.assertNotEqual(done.returncode, 0)
        self.assert_still_serving()


class Policy(DaemonTestCase):
    def test_unprivileged_caller_is_turned_away_from_backup(self):
        for method in ("get_allBoxRootEntries", "format_allBoxRootEntries"):
            with self.subTest(method=method):
                data, error = call("/backup", BACKUP_IFACE, method, user="alice")
                self.assertIsNone(data)
                self.assertRegex(error, r"(?i)access denied|not allowed|rejected")
        data, error = call("/backup", BACKUP_IFACE, "format_boxRootEntries", "s", "alice",
                           user="bob")
        self.assertIsNone(data)

    def test_unprivileged_caller_may_use_the_box_interface(self):
        data, error = logfile("get_certificationInterval", "s", "alice", user="alice")
        self.assertIsNone(error)
        self.assertIsInstance(data[0], int)

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
