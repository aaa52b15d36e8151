# SPDX-License-Identifier: GPL-2.0-or-later
"""The daemon and arkvanectl where there is no system bus at all."""

from harness import *


class NoBus(unittest.TestCase):
    def test_daemon_exits_with_status_one_and_one_line(self):
        daemon = Daemon().start(wait=False)
        self.assertEqual(daemon.wait_exit(), 1)
        self.assertEqual(daemon.lines, ["Can not conneced to system bus, exiting ..."])

    @unittest.skipUnless("ARKVANECTL" in os.environ, "built without arkvanectl")
    def test_every_ctl_command_says_it_cannot_reach_the_bus(self):
        ctl = public_copy("ARKVANECTL")
        for args in (("files",), ("files", "/home/alice/.box"), ("close", "--yes"), ("auth",),
                     ("auth", "passed", "bob"), ("auth", "interval", "5")):
            with self.subTest(args=args):
                done = run([ctl, *args], user="alice", stdin=subprocess.DEVNULL)
                self.assertEqual((done.returncode, done.stdout), (3, ""))
                self.assertRegex(done.stderr, r"\Aarkvanectl: cannot reach the system bus[^\n]*\n\Z")
        # What needs no daemon is still told apart.
        self.assertEqual([run([ctl, *a]).returncode for a in (["files", ""], ["frob"])], [1, 2])
