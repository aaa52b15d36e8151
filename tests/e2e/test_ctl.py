"""arkvanectl against the real daemon: each command as root and as the test
accounts, its output in a pipe, on a terminal and as JSON, and the exit
status of every kind of failure."""

import ctypes
import fcntl
import json
import os
import re
import signal
import struct
import subprocess
import termios
import time
import unittest

from harness import (SCRATCH, Daemon, DaemonTestCase, Syslog, public_copy, as_user, box_of,
                     busctl, empty_boxes, make_tree)

CTL = public_copy("ARKVANECTL")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def ctl(*args, user="root", cwd=None, wrapper=()):
    """arkvanectl in a pipe, with no terminal on standard input."""
    return subprocess.run(as_user(user, list(wrapper) + [CTL] + list(args)), capture_output=True,
                          text=True, stdin=subprocess.DEVNULL, cwd=cwd, timeout=60)


def on_terminal(*args, user="root", answer=None, columns=100):
    """arkvanectl with a terminal of the given width on all three standard
    streams; answer is typed ahead. Returns (exit status, what it showed)."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen(as_user(user, [CTL] + list(args)),
                            stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    if answer is not None:
        os.write(master, answer.encode() + b"\n")
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # EIO: every holder of the terminal has closed it
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    return proc.wait(60), shown.decode().replace("\r\n", "\n")


def project_version():
    with open(os.path.join(SOURCE_DIR, "CMakeLists.txt")) as f:
        return re.search(r"project\(arkvane VERSION (\S+)", f.read()).group(1)


class CtlCase(DaemonTestCase):
    """Fresh boxes for root, alice and bob in every test."""

    def setUp(self):
        super().setUp()
        empty_boxes()

    def assertFails(self, done, status, message):
        """Exit status, nothing on standard output, and one line on standard
        error holding message."""
        self.assertEqual(done.returncode, status, done.stderr)
        self.assertEqual(done.stdout, "")
        lines = done.stderr.splitlines()
        self.assertEqual(len(lines), 1, done.stderr)
        self.assertTrue(lines[0].startswith("arkvanectl: "), lines[0])
        self.assertIn(message, lines[0])

    def assertSucceeds(self, done, stdout):
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        self.assertEqual(done.stdout, stdout)


class Files(CtlCase):
    def test_output_in_a_pipe_and_as_json(self):
        a, b = make_tree(box_of("alice"), ["a", "docs/b"], user="alice")
        self.hold([b, a], user="alice")
        for user, args, stdout in (
                ("alice", ["files"], "docs/b\na\n"),
                ("root", ["files", box_of("alice") + "/"], "docs/b\na\n"),
                ("alice", ["files", "--full"], f"{b}\n{a}\n"),
                ("root", ["files"], "")):
            with self.subTest(user=user, args=args):
                self.assertSucceeds(ctl(*args, user=user), stdout)
        for user, args, expected in (
                ("alice", ["--json", "files"], [{"path": b, "relative": "docs/b"},
                                                {"path": a, "relative": "a"}]),
                ("root", ["files", "--json"], [])):
            with self.subTest(user=user, args=args):
                self.assertEqual(json.loads(ctl(*args, user=user).stdout), expected)

    def test_relative_box_is_taken_from_the_working_directory(self):
        (f,) = make_tree(box_of("alice"), ["mine"], user="alice")
        self.hold([f], user="alice")
        self.assertSucceeds(ctl("files", ".box", user="alice", cwd="/home/alice"), "mine\n")

    def test_account_is_refused_another_users_box(self):
        for path in (box_of("bob"), "/home", "/", "///", box_of("root"), "/home/alice/.box2"):
            with self.subTest(path=path):
                self.assertFails(ctl("files", path, user="alice"), 1,
                                 f"refused: {path} is not inside your box /home/alice/.box")

    def test_own_box_root_leading_to_a_directory_not_owned_is_refused(self):
        os.rename(box_of("alice"), "/home/alice/box-aside")
        self.addCleanup(os.rename, "/home/alice/box-aside", box_of("alice"))
        foreign = os.path.join(SCRATCH, "not-alices")
        os.makedirs(foreign, 0o755, exist_ok=True)
        os.symlink(foreign, box_of("alice"))
        self.addCleanup(os.unlink, box_of("alice"))
        for args in (("files",), ("close", "--yes")):
            with self.subTest(args=args):
                self.assertFails(ctl(*args, user="alice"), 1,
                                 f"refused: {foreign} is not inside your box /home/alice/.box")

    def test_root_is_refused_a_path_of_slashes_only(self):
        for path in ("/", "///"):
            with self.subTest(path=path):
                self.assertFails(ctl("files", path), 1,
                                 "refused: / is not a box (it would match every open file)")

    def test_empty_path(self):
        for user in ("root", "alice"):
            with self.subTest(user=user):
                self.assertFails(ctl("files", "", user=user), 1, "the box path is empty")

    def test_uid_without_password_entry_has_no_default_box_or_name(self):
        # uid 4242 has no entry in the password database (and the system bus
        # turns it away, so only what the client decides itself is seen).
        argv = ["setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", "--", CTL]
        for args in (["files"], ["close", "--yes"]):
            with self.subTest(args=args):
                done = subprocess.run(argv + args, capture_output=True, text=True)
                self.assertFails(done, 1, "uid 4242 has no entry in the password database, so it "
                                 "has no box; name one")
        done = subprocess.run(argv + ["auth"], capture_output=True, text=True)
        self.assertFails(done, 1, "uid 4242 has no entry in the password database; name the user")

    def test_box_through_a_symbolic_link_is_matched_as_written_with_a_warning(self):
        (f,) = make_tree(box_of("root"), ["f"])
        self.hold([f])
        link = os.path.join(SCRATCH, "boxlink")
        os.symlink(box_of("root"), link)
        self.addCleanup(os.unlink, link)
        done = ctl("files", link)
        self.assertEqual((done.returncode, done.stdout), (0, ""))
        self.assertEqual(done.stderr.splitlines(),
                         [f"arkvanectl: warning: {link} resolves to {box_of('root')}; the daemon "
                          f"compares paths as written, so name the box as {box_of('root')} to "
                          "reach the files in it"])

    def test_control_characters_are_escaped_in_lines_and_exact_in_json(self):
        name = "odd\nname\t\x1b[31m"
        (f,) = make_tree(box_of("root"), [name])
        self.hold([f])
        self.assertSucceeds(ctl("files"), "odd\\nname\\t\\x1b[31m\n")
        self.assertEqual(json.loads(ctl("files", "--json").stdout),
                         [{"path": f, "relative": name}])

    def test_terminal_shows_aligned_columns_and_a_count(self):
        box = box_of("root")
        a, b = make_tree(box, ["a", "docs/longer-name.txt"])
        self.hold([a, b])
        status, shown = on_terminal("files", "--full")
        self.assertEqual(status, 0, shown)
        lines = shown.splitlines()
        self.assertEqual(lines, ["PATH IN BOX           FULL PATH",
                                 f"a                     {a}",
                                 f"docs/longer-name.txt  {b}",
                                 "",
                                 f"2 files held open in {box}."])
        status, shown = on_terminal("files")
        self.assertEqual(shown.splitlines(),
                         ["PATH IN BOX", "a", "docs/longer-name.txt", "", f"2 files held open in {box}."])

    def test_narrow_terminal_keeps_the_first_column_to_half_its_width(self):
        box = box_of("root")
        a, b = make_tree(box, ["a", "twenty-characters.tx"])
        self.hold([a, b])
        status, shown = on_terminal("files", "--full", columns=30)
        self.assertEqual(shown.splitlines()[:3], ["PATH IN BOX      FULL PATH",
                                                  f"a                {a}",
                                                  f"twenty-characters.tx  {b}"])

    def test_terminal_says_when_nothing_is_held(self):
        status, shown = on_terminal("files", user="alice")
        self.assertEqual((status, shown), (0, "No file is held open in /home/alice/.box.\n"))


class Close(CtlCase):
    def test_yes_ends_the_holders_and_says_how_many_files_were_held(self):
        box = box_of("root")
        a, b, c = make_tree(box, ["a", "sub/b", "c"])
        first = self.hold([a])
        second = self.hold([b, c])
        self.assertSucceeds(ctl("close", "--yes"),
                            f"{box}: 3 files were held open; none is held now.\n")
        self.assertEqual(first.signal_of_death(), signal.SIGKILL)
        self.assertEqual(second.signal_of_death(), signal.SIGKILL)

    def test_the_client_survives_holding_a_box_file_itself(self):
        box = box_of("root")
        a, mine = make_tree(box, ["a", "mine"])
        holder = self.hold([a])
        # Only the client's process may hold it: the daemon spares its caller alone.
        done = ctl("close", "--yes", wrapper=["sh", "-c", 'exec 3<"$0" && exec "$@"', mine])
        self.assertSucceeds(done, f"{box}: 2 files were held open; 1 file is still held.\n  mine\n")
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)

    def test_without_a_terminal_it_does_not_ask(self):
        holder = self.hold(make_tree(box_of("root"), ["f"]))
        done = ctl("close")
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)

    def test_on_a_terminal_no_ends_nothing(self):
        box = box_of("root")
        holder = self.hold(make_tree(box, ["f"]))
        for answer in ("n", "", "whatever"):
            with self.subTest(answer=answer):
                status, shown = on_terminal("close", answer=answer)
                self.assertEqual(status, 1, shown)
                self.assertIn(f"1 file held open in {box}. End every process holding files there? "
                              "[y/N]", shown)
                self.assertIn("arkvanectl: cancelled: no process was ended", shown)
                self.assertTrue(holder.alive())

    def test_on_a_terminal_yes_closes(self):
        box = box_of("alice")
        holder = self.hold(make_tree(box, ["f"], user="alice"), user="alice")
        status, shown = on_terminal("close", user="alice", answer="y")
        self.assertEqual(status, 0, shown)
        self.assertIn(f"{box}: 1 file was held open; none is held now.", shown)
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)

    def test_account_closes_its_own_box_and_nothing_else(self):
        alices = self.hold(make_tree(box_of("alice"), ["f"], user="alice"), user="alice")
        bobs = self.hold(make_tree(box_of("bob"), ["g"], user="bob"), user="bob")
        roots = self.hold(make_tree(box_of("root"), ["h"]))
        self.assertSucceeds(ctl("close", "--yes", user="alice"),
                            "/home/alice/.box: 1 file was held open; none is held now.\n")
        self.assertEqual(alices.signal_of_death(), signal.SIGKILL)
        self.assertFails(ctl("close", "--yes", box_of("bob"), user="alice"), 1,
                         "refused: /home/bob/.box is not inside your box /home/alice/.box")
        self.assertTrue(bobs.alive())
        self.assertTrue(roots.alive())

    def test_empty_box_nothing_held(self):
        self.assertSucceeds(ctl("close", "-y"),
                            "/root/.box: no file was held open; none is held now.\n")
        self.assertFails(ctl("close", "--yes", ""), 1, "the box path is empty")


class Auth(CtlCase):
    def auth_json(self, *args, user="root"):
        done = ctl("auth", "--json", *args, user=user)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        return json.loads(done.stdout)

    def test_status_in_a_pipe_and_as_json(self):
        self.assertSucceeds(ctl("auth", "carol"), "user=carol\nrequired=yes\ninterval=600\n")
        self.assertSucceeds(ctl("auth", "status", "passed"),
                            "user=passed\nrequired=yes\ninterval=600\n")
        self.assertEqual(self.auth_json("carol"), {"user": "carol", "required": True, "interval": 600})
        for user in ("root", "bob"):
            with self.subTest(user=user):
                self.assertEqual(self.auth_json(user=user)["user"], user)

    def test_account_changes_its_own_entry(self):
        self.assertSucceeds(ctl("auth", "interval", "30", user="alice"),
                            "alice: a pass now holds for 30 seconds.\n")
        self.assertSucceeds(ctl("auth", "passed", user="alice"),
                            "alice: authentication recorded as passed.\n")
        self.assertEqual(self.auth_json(user="alice"),
                         {"user": "alice", "required": False, "interval": 30})
        self.assertEqual(self.auth_json("alice"), {"user": "alice", "required": False, "interval": 30})

    def test_account_is_refused_another_users_entry(self):
        syslog = Syslog()
        self.assertFails(ctl("auth", "passed", "bob", user="alice"), 1,
                         "refused: you (alice) may record a pass only for yourself, not for bob")
        self.assertFails(ctl("auth", "interval", "bob", "5", user="alice"), 1,
                         "refused: you (alice) may set the interval only for yourself, not for bob")
        self.assertEqual(self.auth_json("bob"), {"user": "bob", "required": True, "interval": 600})
        # Both calls reached the daemon, which logged each refusal.
        self.assertEqual(len(syslog.lines()), 2)

    def test_root_changes_any_entry(self):
        self.assertSucceeds(ctl("auth", "interval", "dave", "42"), "dave: a pass now holds for 42 seconds.\n")
        self.assertSucceeds(ctl("auth", "passed", "dave"), "dave: authentication recorded as passed.\n")
        self.assertEqual(self.auth_json("dave", user="bob"),
                         {"user": "dave", "required": False, "interval": 42})

    def test_negative_interval_is_an_argument(self):
        self.assertSucceeds(ctl("auth", "interval", "erin", "-5"),
                            "erin: a pass now holds for -5 seconds (0 or less: every pass ends "
                            "within a second).\n")
        self.assertEqual(self.auth_json("erin")["interval"], -5)

    def test_terminal_shows_aligned_columns(self):
        status, shown = on_terminal("auth", "frank")
        self.assertEqual((status, shown.splitlines()),
                         (0, ["User               frank",
                              "Must authenticate  yes",
                              "Interval           600 seconds"]))


class Usage(unittest.TestCase):
    """Answered without the daemon."""

    def test_usage_errors(self):
        for args, message in (
                ((), "no command given (see arkvanectl --help)"),
                (("frob",), 'unknown command "frob"'),
                (("files", "--frob"), "unknown option --frob (see arkvanectl files --help)"),
                (("files", "a", "b"), "too many arguments for files"),
                (("close", "--full"), "--full applies only to files"),
                (("close", "--json"), "--json applies only to files and auth"),
                (("auth", "passed", "--json"), "--json applies only to files and auth"),
                (("files", "--yes"), "--yes applies only to close"),
                (("auth", "interval"), "auth interval needs SECONDS"),
                (("auth", "interval", "alice", "soon"), 'SECONDS must be a whole number'),
                (("auth", "interval", "alice", "99999999999"), 'SECONDS must be a whole number'),
                (("auth", "alice", "bob"), "too many arguments for auth")):
            with self.subTest(args=args):
                done = ctl(*args)
                self.assertEqual((done.returncode, done.stdout), (2, ""))
                self.assertEqual(done.stderr.count("\n"), 1, done.stderr)
                self.assertTrue(done.stderr.startswith("arkvanectl: "), done.stderr)
                self.assertIn(message, done.stderr)

    def test_help_of_the_program_and_of_each_command(self):
        for args, first in ((("--help",), "Usage: arkvanectl [OPTION...] COMMAND [ARG...]"),
                            (("-h",), "Usage: arkvanectl [OPTION...] COMMAND [ARG...]"),
                            (("help",), "Usage: arkvanectl [OPTION...] COMMAND [ARG...]"),
                            (("files", "--help"), "Usage: arkvanectl files [--full] [--json] [BOX]"),
                            (("help", "close"), "Usage: arkvanectl close [--yes] [BOX]"),
                            (("auth", "interval", "--help"),
                             "Usage: arkvanectl auth [status] [--json] [USER]")):
            with self.subTest(args=args):
                done = ctl(*args, user="alice")
                self.assertEqual((done.returncode, done.stderr), (0, ""))
                self.assertEqual(done.stdout.splitlines()[0], first)

    def test_version(self):
        self.assertEqual(ctl("--version").stdout, f"arkvanectl {project_version()}\n")

    def test_manual_page_formats_cleanly_and_names_every_option(self):
        page = os.path.join(SOURCE_DIR, "src", "ctl", "arkvanectl.1")
        done = subprocess.run(["groff", "-man", "-ww", "-z", page], capture_output=True, text=True)
        self.assertEqual((done.returncode, done.stderr), (0, ""))
        text = subprocess.run(["groff", "-man", "-Tutf8", "-P", "-cbou", page],
                              capture_output=True, text=True).stdout
        for option in re.findall(r"--[a-z]+", ctl("--help").stdout):
            with self.subTest(option=option):
                self.assertIn(option.replace("-", "\u2010"), text.replace("-", "\u2010"))

    def test_bash_completion(self):
        script = os.path.join(SOURCE_DIR, "src", "ctl", "arkvanectl.bash-completion")

        def complete(*words):
            line = " ".join(f"'{w}'" for w in words)
            done = subprocess.run(
                ["bash", "-c", f'source "$0"; COMP_WORDS=(arkvanectl {line}); '
                 f'COMP_CWORD={len(words)}; _arkvanectl; printf "%s\\n" "${{COMPREPLY[@]}}"',
                 script], capture_output=True, text=True)
            self.assertEqual(done.stderr, "")
            return done.stdout.split()

        self.assertEqual(complete(""), ["files", "close", "auth", "help"])
        self.assertEqual(complete("au"), ["auth"])
        self.assertEqual(complete("auth", "p"), ["passed"])
        self.assertEqual(complete("files", "--"), ["--help", "--version", "--full", "--json"])
        self.assertEqual(complete("close", "--"), ["--help", "--version", "--yes"])
        self.assertIn("alice", complete("auth", "passed", "al"))


class DaemonStopped(unittest.TestCase):
    """The daemon has run and is gone: nothing owns its name."""

    @classmethod
    def setUpClass(cls):
        daemon = Daemon().start()
        daemon.stop()
        # The bus drops the name when it sees the connection close.
        for _ in range(1000):
            owner = busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                           "org.freedesktop.DBus", "NameHasOwner", "s", "com.tavrin.arkvane")
            if owner.stdout.strip() == "b false":
                return
        raise AssertionError("the daemon's name stayed owned")

    def test_every_command_says_the_daemon_is_not_running(self):
        for args in (("files",), ("files", "--json"), ("close", "--yes"), ("auth",),
                     ("auth", "passed"), ("auth", "interval", "5")):
            with self.subTest(args=args):
                done = ctl(*args, user="alice")
                self.assertEqual((done.returncode, done.stdout), (3, ""))
                self.assertEqual(
                    done.stderr.splitlines(),
                    ["arkvanectl: arkvaned is not running (nothing owns com.tavrin.arkvane "
                     "on the system bus)"])


def queued_bytes(pid):
    """Bytes waiting on the process's sockets, read through copies of its
    descriptors."""
    libc = ctypes.CDLL(None, use_errno=True)
    pidfd = os.pidfd_open(pid)
    total = 0
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
                copy = libc.syscall(438, pidfd, int(fd), 0)  # pidfd_getfd
                assert copy >= 0, os.strerror(ctypes.get_errno())
                total += struct.unpack("i", fcntl.ioctl(copy, termios.FIONREAD, b"\0" * 4))[0]
                os.close(copy)
    finally:
        os.close(pidfd)
    return total


class DaemonDiesMidCall(unittest.TestCase):
    def test_client_says_the_daemon_did_not_answer(self):
        daemon = Daemon().start()
        os.kill(daemon.pid, signal.SIGSTOP)
        before = queued_bytes(daemon.pid)
        try:
            client = subprocess.Popen(as_user("alice", [CTL, "files"]), stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            # The call is in the stopped daemon's socket: now it dies.
            while queued_bytes(daemon.pid) == before:
                self.assertIsNone(client.poll())
                time.sleep(0.01)
            os.kill(daemon.pid, signal.SIGKILL)
            stdout, stderr = client.communicate(timeout=60)
        finally:
            daemon.wait_exit()
        self.assertEqual((client.returncode, stdout), (3, ""))
        self.assertEqual(stderr.splitlines(), ["arkvanectl: arkvaned did not answer: Message recipient "
                                               "disconnected from message bus without replying"])


if __name__ == "__main__":
    unittest.main()
