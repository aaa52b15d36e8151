"""The re-authentication timers over the bus, with short intervals."""

import time
import unittest

from harness import DaemonTestCase, logfile

TICK = "Enter timeout processing function. username = "


def required(name, user="root"):
    data, error = logfile("is_certificationRequired", "s", name, user=user)
    assert error is None, error
    return data[0]


def interval(name, user="root"):
    data, error = logfile("get_certificationInterval", "s", name, user=user)
    assert error is None, error
    return data[0]


def set_interval(name, seconds, user="root"):
    data, error = logfile("set_certificationInterval", "si", name, seconds, user=user)
    assert error is None, error
    return data[0]


def passed(name, user="root"):
    data, error = logfile("set_certificationPassed", "s", name, user=user)
    assert error is None, error
    assert data == [], data


def seconds_until_required(name, limit):
    """Polls the answer until it turns; the timers tick once a second, so a
    20 ms poll sees the turn within a poll of when it happens."""
    start = time.monotonic()
    while time.monotonic() - start < limit:
        if required(name):
            return time.monotonic() - start
        time.sleep(0.02)
    return None


class Timers(DaemonTestCase):
    def test_pass_then_required_again_when_the_interval_runs_out(self):
        self.assertEqual(set_interval("t2", 2), 0)
        passed("t2")
        self.assertFalse(required("t2"))
        elapsed = seconds_until_required("t2", 5)
        self.assertIsNotNone(elapsed)
        self.assertGreaterEqual(elapsed, 0.9)
        self.assertLessEqual(elapsed, 3.0)

    def test_zero_and_negative_intervals_end_a_pass_at_the_first_tick(self):
        for name, seconds in (("t0", 0), ("tneg", -5)):
            with self.subTest(seconds=seconds):
                self.assertEqual(set_interval(name, seconds), 0)
                self.assertEqual(interval(name), seconds)
                passed(name)
                self.assertLessEqual(seconds_until_required(name, 3), 1.5)

    def test_a_second_pass_restarts_the_count(self):
        set_interval("again", 2)
        passed("again")
        time.sleep(1.2)  # let a tick count part of the first pass
        passed("again")
        self.assertFalse(required("again"))
        self.assertGreaterEqual(seconds_until_required("again", 5), 0.9)

    def test_new_name_answers_without_an_entry(self):
        mark = self.daemon.mark()
        self.assertTrue(required("ghost"))
        self.assertEqual(interval("ghost"), 600)
        # Entries tick every second; one made by asking would show up here.
        passed("witness")
        self.assertTrue(self.daemon.wait_for_line(TICK + ' "witness"   m_nTimer =  1', 5))
        self.assertFalse([l for l in self.daemon.lines_since(mark) if '"ghost"' in l])

    def test_empty_name_is_an_entry_of_its_own(self):
        passed("")
        self.assertFalse(required(""))
        self.assertEqual(interval(""), 600)

    def test_names_differing_in_case_are_two_entries(self):
        set_interval("alice", 600, user="alice")
        passed("alice")
        self.assertFalse(required("alice"))
        self.assertTrue(required("Alice"))
        self.assertEqual(set_interval("Alice", 42), 0)
        self.assertEqual(interval("Alice"), 42)
        self.assertEqual(interval("alice"), 600)


class Callers(DaemonTestCase):
    def test_account_changes_its_own_entry(self):
        self.assertEqual(set_interval("alice", 120, user="alice"), 0)
        self.assertEqual(interval("alice", user="alice"), 120)
        passed("alice", user="alice")
        self.assertFalse(required("alice", user="alice"))
        self.assertEqual(self.syslog.lines(), [])

    def test_account_is_refused_for_another_name(self):
        for name in ("bob", "root", "Alice", "", "nobody-at-all", "x%s%n\nforged line"):
            with self.subTest(name=name):
                self.syslog.mark()
                self.assertEqual(set_interval(name, 1, user="alice"), -1)
                passed(name, user="alice")
                self.assertTrue(required(name, user="alice"))
                self.assertEqual(interval(name, user="alice"), 600)
                lines = self.syslog.lines()
                self.assertEqual(len(lines), 2, lines)
                for line in lines:
                    self.assertIn("1001", line)
                    if "\n" in name:
                        self.assertIn("x%s%n\\x0aforged line", line)
                    elif name:
                        self.assertIn(name, line)

    def test_reading_is_open_to_everyone(self):
        set_interval("bob", 77, user="bob")
        self.assertEqual(interval("bob", user="alice"), 77)
        self.assertTrue(required("bob", user="alice"))

    def test_root_changes_any_entry(self):
        self.assertEqual(set_interval("bob", 33), 0)
        passed("bob")
        self.assertFalse(required("bob", user="bob"))
        self.assertEqual(interval("bob", user="bob"), 33)
        self.assertEqual(self.syslog.lines(), [])


if __name__ == "__main__":
    unittest.main()
