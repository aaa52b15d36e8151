"""Start-up without a system bus."""

import unittest

from harness import Daemon


class NoBus(unittest.TestCase):
    def test_exits_with_status_one_and_one_line(self):
        daemon = Daemon().start(wait=False)
        self.assertEqual(daemon.wait_exit(), 1)
        self.assertEqual(daemon.lines, ["Can not conneced to system bus, exiting ..."])


if __name__ == "__main__":
    unittest.main()
