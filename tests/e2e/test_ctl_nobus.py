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
        for args in (("files",), ("files", "/home/alice/.box"), ("close", "--yes"), ("auth",),
                     ("auth", "passed", "bob"), ("auth", "interval", "5")):
            with self.subTest(args=args):
                done = ctl(*args, user="alice")
                self.assertEqual((done.returncode, done.stdout), (3, ""))
                self.assertRegex(done.stderr, r"\Aarkvanectl: cannot reach the system bus[^\n]*\n\Z")
        # What needs no daemon is still told apart.
        self.assertEqual((ctl("files", "").returncode, ctl("frob").returncode), (1, 2))


if __name__ == "__main__":
    unittest.main()
