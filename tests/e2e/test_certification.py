# SPDX-License-Identifier: GPL-2.0-or-later
"""The re-authentication timers over the bus: the real one-second timer, and
who may change an entry (the arithmetic is proved in the unit test)."""

from harness import *


def ask(method, signature, *args, user="root"):
    data, error = logfile(method, signature, *args, user=user)
    assert error is None, error
    return data[0] if data else None


class Certification(DaemonTestCase):
    def test_pass_ends_when_the_interval_runs_out_on_the_real_timer(self):
        self.assertEqual(ask("set_certificationInterval", "si", "t2", 2), 0)
        ask("set_certificationPassed", "s", "t2")
        start = time.monotonic()
        self.assertFalse(ask("is_certificationRequired", "s", "t2"))
        # The timer ticks once a second; a 20 ms poll sees the turn.
        while not ask("is_certificationRequired", "s", "t2") and time.monotonic() - start < 5:
            time.sleep(0.02)
        self.assertTrue(0.9 <= time.monotonic() - start <= 3.0)

    def test_account_changes_only_its_own_entry(self):
        self.assertEqual(ask("set_certificationInterval", "si", "alice", 120, user="alice"), 0)
        ask("set_certificationPassed", "s", "alice", user="alice")
        self.assertFalse(ask("is_certificationRequired", "s", "alice", user="bob"))
        self.assertEqual(self.syslog.lines(), [])
        for name, shown in (("bob", "bob"), ("root", "root"), ("Alice", "Alice"), ("", ""),
                            ("x%s%n\nforged line", "x%s%n\\x0aforged line")):
            with self.subTest(name=name):
                self.syslog.mark()
                self.assertEqual(ask("set_certificationInterval", "si", name, 1, user="alice"), -1)
                ask("set_certificationPassed", "s", name, user="alice")
                self.assertTrue(ask("is_certificationRequired", "s", name))
                self.assertEqual(ask("get_certificationInterval", "s", name), 600)
                tail = f'refused: caller uid 1001 may not change the certification of "{shown}"'
                self.assertEqual(self.syslog.lines(), ["set_certificationInterval[65] " + tail,
                                                       "set_certificationPassed[72] " + tail])
