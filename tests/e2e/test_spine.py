# SPDX-License-Identifier: GPL-2.0-or-later
"""Start-up, the three exported interfaces, their signatures and the bus policy."""

from xml.etree import ElementTree

from harness import *

# Each method as the introspection text gives it: (direction, type, name) of
# its arguments in order, and its annotations.
LOGFILE_METHODS = [
    "get_allRunFileList(out i, out a(ss) list, in s strBoxPath) Out1=CBoxFileList",
    "kill_allProcessSignal(in s strBoxPath, out i)",
    "is_certificationRequired(in s strUserName, out b)",
    "set_certificationInterval(in s strUserName, in i nInterval, out i)",
    "get_certificationInterval(in s strUserName, out i)",
    "set_certificationPassed(in s strUserName)",
]
ACTIVITY_METHODS = ["get_boxHolders(in s strBoxPath, out i nResult, out a(ixussa(ss)) holders) Out1=CBoxHolderList",
                    "add_boxWatch(in s strBoxPath, out i nWatchId)", "remove_boxWatch(in i nWatchId, out i nResult)",
                    "get_watchMechanism(out s strMechanism, out i nLatencyMs)"]
BACKUP_METHODS = [
    "get_allBoxRootEntries(out as)",
    "format_allBoxRootEntries(out i)",
    "format_boxRootEntries(in s strUserName, out i)",
]
STANDARD = ["org.freedesktop.DBus.Properties", "org.freedesktop.DBus.Introspectable",
            "org.freedesktop.DBus.Peer"]


def introspect(path, user):
    """The interfaces of the object in order, and the methods of the first."""
    data, error = call(path, "org.freedesktop.DBus.Introspectable", "Introspect", user=user)
    interfaces = ElementTree.fromstring(data[0]).findall("interface")
    methods = [f"{m.get('name')}(" + ", ".join(
        " ".join(filter(None, (a.get("direction"), a.get("type"), a.get("name"))))
        for a in m.findall("arg")) + ")" + "".join(
        f" {n.get('name').rsplit('.', 1)[1]}={n.get('value')}" for n in m.findall("annotation"))
        for m in interfaces[0].findall("method")]
    return [i.get("name") for i in interfaces], methods


class Interfaces(DaemonTestCase):
    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.start_up = list(cls.daemon.lines)

    def test_start_up_line_and_each_objects_interface_text(self):
        self.assertEqual(self.start_up, ["gogogo"])
        for path, iface, methods, user in (("/logfile", LOGFILE_IFACE, LOGFILE_METHODS, "alice"),
                                           ("/backup", BACKUP_IFACE, BACKUP_METHODS, "root"),
                                           ("/activity", ACTIVITY_IFACE, ACTIVITY_METHODS, "bob")):
            with self.subTest(path=path):
                self.assertEqual(introspect(path, user), ([iface] + STANDARD, methods))

    def test_each_method_replies_with_its_signature(self):
        for path, iface, method, expected, *args in (
                ("/logfile", LOGFILE_IFACE, "get_allRunFileList", "ia(ss)", "s", "/nonexistent/box"),
                ("/logfile", LOGFILE_IFACE, "kill_allProcessSignal", "i", "s", ""),
                ("/logfile", LOGFILE_IFACE, "is_certificationRequired", "b", "s", "root"),
                ("/logfile", LOGFILE_IFACE, "set_certificationInterval", "i", "si", "root", 600),
                ("/logfile", LOGFILE_IFACE, "get_certificationInterval", "i", "s", "root"),
                ("/logfile", LOGFILE_IFACE, "set_certificationPassed", "", "s", "root"),
                ("/activity", ACTIVITY_IFACE, "get_boxHolders", "ia(ixussa(ss))", "s", "/nonexistent/box"),
                ("/backup", BACKUP_IFACE, "get_allBoxRootEntries", "as"),
                ("/backup", BACKUP_IFACE, "format_boxRootEntries", "i", "s", "nobody-here")):
            with self.subTest(method=method):
                self.assertEqual(call(path, iface, method, *args, typed=True), (expected, None))

    def test_a_name_only_spelled_like_root_is_not_root(self):
        (keep,) = make_tree(box_of("root"), ["keep"])
        self.assertEqual(self.wipe("Root"), 0)
        self.assertTrue(os.path.exists(keep))

    def test_bus_policy_turns_unprivileged_callers_away(self):
        for method, args, user in (("get_allBoxRootEntries", (), "alice"),
                                   ("format_allBoxRootEntries", (), "alice"),
                                   ("format_boxRootEntries", ("s", "alice"), "bob")):
            with self.subTest(method=method):
                self.assertRegex(call("/backup", BACKUP_IFACE, method, *args, user=user)[1], "Access denied")
        self.assertFalse(client("own", SERVICE, user="alice")["owned"])


class NameAlreadyOwned(unittest.TestCase):
    def test_second_daemon_exits_with_one_line_naming_why_and_registers_nothing(self):
        owner = subprocess.Popen([TESTCLIENT, "own", SERVICE], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, text=True)
        with owner, owner.stdin:
            self.assertIn('"owned":true', owner.stdout.readline())
            for argv, why in (([DAEMON], rf"owned by :1\.\d+ \(pid {owner.pid}, arkvane-testcli\)"),
                              (as_user("alice", [DAEMON]), r'Connection ":1\.\d+" is not allowed to own the '
                                                           r'service "com\.tavrin\.arkvane" due to security.*')):
                daemon = Daemon(*argv, confined=argv[0] == DAEMON).start(wait=False)
                self.assertEqual(daemon.wait_exit(), 1)
                self.assertEqual(len(daemon.lines), 1, daemon.lines)
                self.assertRegex(daemon.lines[0], "^could not claim com.tavrin.arkvane: " + why + "$")
            # The name still belongs to the first owner, which exports nothing.
            done = busctl("call", SERVICE, "/logfile", "org.freedesktop.DBus.Introspectable",
                          "Introspect")
            self.assertNotIn(LOGFILE_IFACE + '"', done.stdout)
