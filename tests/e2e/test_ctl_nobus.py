"""arkvanectl where there is no system bus at all."""

import subprocess
import unittest

from harness import public_copy, as_user

CTL = public_copy("ARKVANECTL")


def ctl(*args, user="root"):
    return subprocess.run(as_user(user, [CTL] + list(args)), capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, timeout=60)


class NoBus(unittest.TestCase):
    def test_every_command_says_it_cannot_reach_the_bus(self):
        for user in ("root", "alice"):
            for args in (("files",), ("files", "/home/alice/.box"), ("close", "--yes"), ("auth",),
                         ("auth", "passed", "bob"), ("auth", "interval", "5")):
                with self.subTest(user=user, args=args):
                    done = ctl(*args, user=user)
                    self.assertEqual((done.returncode, done.stdout), (3, ""))
                    lines = done.stderr.splitlines()
                    self.assertEqual(len(lines), 1, done.stderr)
                    self.assertTrue(lines[0].startswith("arkvanectl: cannot reach the system bus"),
                                    lines[0])

    def test_what_needs_no_daemon_is_still_told_apart(self):
        empty = ctl("files", "")
        self.assertEqual(empty.returncode, 1)
        self.assertEqual(empty.stderr, "arkvanectl: the box path is empty\n")
        self.assertEqual(ctl("frob").returncode, 2)
        self.assertEqual(ctl("--help").returncode, 0)


if __name__ == "__main__":
    unittest.main()
