# SPDX-License-Identifier: GPL-2.0-or-later
"""The daemon as the shipped unit confines it (tests/support/under-unit, put
in front of every daemon by the harness): each directive as a confined process
meets it, and the work only that confinement could break."""

from harness import *

PROBE = """
import ctypes, errno, json, os, resource, sys
from ctypes import *
libc, fd = CDLL(None, use_errno=True), os.open(os.environ["ARKVANE_SANDBOX_TMP"] + "/probe", os.O_CREAT)
def errno_of(call):
    function = call.split("(")[0]
    return errno.errorcode.get(get_errno()) if eval(call, globals() | {function: getattr(libc, function)}) == -1 else 0
print(json.dumps([errno_of(c) for c in sys.argv[1:]] + [open("/proc/self/status").read().count(s) for s in (
    "NoNewPrivs:\\t1", "CapBnd:\\t00000000002800ee")] + [len(set(resource.getrlimit(7))), os.umask(0)]))
"""
CALLS = [  # each refused (or let through) by the directive named, as the service manager does
    ("syscall(437, -100, b'/', byref((c_uint64 * 3)()), 24)", "ENOSYS"),  # openat2: RestrictSUIDSGID=
    ("fchmod(fd, 0o4600)", "EPERM"), ("fchmod(fd, 0o600)", 0),
    ("socket(2, 1, 0)", "EAFNOSUPPORT"), ("socket(1, 1, 0)", 0),  # RestrictAddressFamilies=
    ("syscall(435, 0, 0)", "ENOSYS"),  # clone3: RestrictNamespaces= (flags out of reach)
    ("sched_setscheduler(0, 1, byref(c_int(1)))", "EPERM"),  # RestrictRealtime=
    ("sched_setscheduler(0, 3, byref(c_int(0)))", 0),  # the workers' SCHED_BATCH
    ("mmap(0, 4096, 6, 0x22, -1, 0)", "EPERM"),  # MemoryDenyWriteExecute=: writable and executable
    ("personality(8)", "EPERM"), ("sethostname(b'x', -1)", "EPERM"),  # LockPersonality=, ProtectHostname=
    ("syscall(227, -1, byref((c_long * 2)()))", "EPERM"),  # clock_settime: ProtectClock=
    ("syscall(160, 7, byref((c_ulong * 2)(9, 9)))", "EPERM"),  # setrlimit: ~@resources
    ("mount(b'x', b'/nonexistent', b'tmpfs', 0, 0)", "EPERM"),  # not on the allow-list
    ("umount2(b'/nonexistent', 0)", "ENOENT"), ("syscall(321, -1, 0, 0)", "EINVAL"),  # umount2, bpf: added
    ("unshare(0x10000000)", "EPERM"),  # RestrictNamespaces=; last, as it would change the rest
]


class Confinement(unittest.TestCase):
    def test_each_directive_as_a_confined_process_meets_it(self):
        done = run(UNDER_UNIT + ["--", "/usr/bin/python3", "-c", PROBE] + [c for c, _ in CALLS])
        # Then no new privileges, the unit's capabilities, soft descriptor limit as hard, umask.
        self.assertEqual(json.loads(done.stdout or "null"), [e for _, e in CALLS] + [1, 1, 1, 0o077], done.stderr)

    def test_a_directive_not_applied_stops_the_command_before_it_runs(self):
        done = run(UNDER_UNIT + ["--add", "Nice=5", "--", "echo", "ran"])
        self.assertEqual((done.returncode, done.stdout, done.stderr), (2, "", "under-unit: Nice=5: neither "
                         "applied here nor known to change nothing in the sandbox\n"))


class MountTwoLevelsDown(DaemonTestCase):
    def test_listed_killed_and_wiped_with_no_call_left_to_the_proc_walk(self):
        box = box_of("alice")
        os.makedirs(f"{box}/a/mnt")
        subprocess.run(["mount", "-t", "tmpfs", "x", f"{box}/a/mnt"], check=True)
        self.addCleanup(subprocess.run, ["umount", "-l", f"{box}/a/mnt"], stderr=subprocess.DEVNULL)
        (held,) = make_tree(box, ["a/mnt/f"], user="alice")
        self.hold([held], user="alice")
        self.assertEqual(self.files(box, user="alice"), (0, [(held, "a/mnt/f")]))
        for call in (lambda: self.kill(box, user="alice"), lambda: self.wipe("alice")):
            self.hold(["-f", held], user="alice")  # hands the file down, forking without pause
            self.assertEqual(call(), 0)
        self.assertFalse(os.path.lexists(box) or f"{box}/a/mnt" in open("/proc/self/mountinfo").read())
        self.assertLines(self.syslog.lines(), [site(r"format_boxRootEntries[N] called: strUserName = alice")])
