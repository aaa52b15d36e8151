# SPDX-License-Identifier: GPL-2.0-or-later
"""arkvanectl against the real daemon: each command as root and as the test
accounts, in a pipe, on a terminal and as JSON, and the exit status of every
kind of failure."""

import ctypes
import fcntl
import struct
import termios

from harness import *

CTL = public_copy("ARKVANECTL")
SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def ctl(*args, user="root", cwd=None, wrapper=()):
    """arkvanectl in a pipe, no terminal on standard input."""
    return run(list(wrapper) + [CTL] + list(args), user=user, cwd=cwd, stdin=subprocess.DEVNULL)


def on_terminal(*args, user="root", answer=None, columns=100):
    """(exit status, what it showed) of arkvanectl on a terminal of that width; answer typed once asked."""
    master, slave = os.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
    proc = subprocess.Popen(as_user(user, [CTL] + list(args)),
                            stdin=slave, stdout=slave, stderr=slave)
    os.close(slave)
    shown = b""
    try:
        while chunk := os.read(master, 4096):
            shown += chunk
            if answer is not None and shown.endswith(b"[y/N] "):
                os.write(master, answer.encode() + b"\n")
                answer = None
    except OSError:  # EIO: every holder of the terminal has closed it
        pass
    os.close(master)
    return proc.wait(60), shown.decode().replace("\r\n", "\n")


class CtlCase(DaemonTestCase):
    def assertEnds(self, done, status, stdout, stderr=""):
        self.assertEqual((done.returncode, done.stdout, done.stderr), (status, stdout, stderr))


SLASHES = "refused: / is not a box (it would match every open file)"
NOT_ALICES = "refused: {} is not inside your box /home/alice/.box"
SECONDS = 'SECONDS must be a whole number from -2147483648 to 2147483647, not "{}"'
NOT_RUNNING = "arkvanectl: arkvaned is not running (nothing owns com.tavrin.arkvane on the system bus)\n"
NOT_OWN = "refused: you (alice) may {} only for yourself, not for bob; nothing changed"
UNEXPLAINED = ("arkvaned failed on /home/alice/.box and says only -1 (an unreadable /proc, 16 of your calls already "
               "waiting, no answer within 20 s, a listing too large for one reply, or a holder it could not judge or end); "
               "see journalctl -u arkvane")


class Outcomes(CtlCase):
    def test_what_each_command_prints_in_a_pipe(self):
        a, b = make_tree(box_of("alice"), ["a", "docs/b"], user="alice")
        self.hold([b, a], user="alice")
        for user, args, cwd, stdout in (
                ("alice", ["files"], None, "docs/b\na\n"),
                ("alice", ["files", ".box"], "/home/alice", "docs/b\na\n"),
                ("root", ["files", box_of("alice") + "/"], None, "docs/b\na\n"),
                ("alice", ["files", "--full"], None, f"{b}\n{a}\n"),
                ("root", ["files"], None, ""),
                ("root", ["close", "-y"], None, "/root/.box: no file was held open; none is held now.\n"),
                ("root", ["auth", "carol"], None, "user=carol\nrequired=yes\ninterval=600\n"),
                ("root", ["auth", "status", "passed"], None, "user=passed\nrequired=yes\ninterval=600\n"),
                ("alice", ["auth", "interval", "30"], None, "alice: a pass now holds for 30 seconds.\n"),
                ("alice", ["auth", "passed"], None, "alice: authentication recorded as passed.\n"),
                ("root", ["auth", "interval", "dave", "42"], None, "dave: a pass now holds for 42 seconds.\n"),
                ("root", ["auth", "passed", "dave"], None, "dave: authentication recorded as passed.\n"),
                ("root", ["auth", "interval", "erin", "-5"], None,
                 "erin: a pass now holds for -5 seconds (0 or less: every pass ends within a second).\n")):
            with self.subTest(user=user, args=args):
                self.assertEnds(ctl(*args, user=user, cwd=cwd), 0, stdout)
        for user, args, expected in (
                ("alice", ["--json", "files"], [{"path": b, "relative": "docs/b"},
                                                {"path": a, "relative": "a"}]),
                ("root", ["files", "--json"], []),
                ("alice", ["auth", "--json"], {"user": "alice", "required": False, "interval": 30}),
                ("bob", ["auth", "--json"], {"user": "bob", "required": True, "interval": 600}),
                ("bob", ["auth", "--json", "dave"], {"user": "dave", "required": False, "interval": 42}),
                ("root", ["auth", "--json", "erin"], {"user": "erin", "required": True, "interval": -5})):
            with self.subTest(user=user, args=args):
                done = ctl(*args, user=user)
                self.assertEqual((done.returncode, done.stderr, json.loads(done.stdout)), (0, "", expected))

    def test_failures_are_one_line_and_an_exit_status(self):
        # A deleted file whose path the kernel no longer prints: its holder
        # may live, so the kill's -1 only the daemon's log explains.
        self.hold(make_tree(box_of("alice"), [long_name(4090 - len(box_of("alice")) - 1)], user="alice"),
                  user="alice", unlink=True)
        self.assertEqual(ctl("files", user="alice").returncode, 0)
        for user, args, status, message in (
                ("alice", ["close", "--yes"], 1, UNEXPLAINED),
                *(("alice", ["files", p], 1, NOT_ALICES.format(p))
                  for p in (box_of("bob"), "/home", "/", "///", box_of("root"), "/home/alice/.box2")),
                ("alice", ["close", "--yes", box_of("bob")], 1, NOT_ALICES.format(box_of("bob"))),
                ("root", ["files", "/"], 1, SLASHES),
                ("root", ["files", "///"], 1, SLASHES),
                ("root", ["files", ""], 1, "the box path is empty"),
                ("alice", ["close", "--yes", ""], 1, "the box path is empty"),
                *((4242, a, 1, "uid 4242 has no entry in the password database, so it has no box; name one")
                  for a in (["files"], ["close", "--yes"])),
                (4242, ["auth"], 1, "uid 4242 has no entry in the password database; name the user"),
                ("alice", ["auth", "passed", "bob"], 1, NOT_OWN.format("record a pass")),
                ("alice", ["auth", "interval", "bob", "5"], 1, NOT_OWN.format("set the interval")),
                ("root", [], 2, "no command given (see arkvanectl --help)"),
                ("root", ["frob"], 2, 'unknown command "frob" (see arkvanectl --help)'),
                ("root", ["files", "--frob"], 2, "unknown option --frob (see arkvanectl files --help)"),
                ("root", ["files", "a", "b"], 2, "too many arguments for files (see arkvanectl files --help)"),
                ("root", ["close", "--full"], 2, "--full applies only to files (see arkvanectl close --help)"),
                *(("root", a, 2, f"--json applies only to files, who and auth (see arkvanectl {a[0]}{c} --help)")
                  for a, c in ((["close", "--json"], ""), (["auth", "passed", "--json"], " passed"))),
                ("root", ["files", "--yes"], 2, "--yes applies only to close (see arkvanectl files --help)"),
                ("root", ["auth", "interval"], 2,
                 "auth interval needs SECONDS (see arkvanectl auth interval --help)"),
                *(("root", ["auth", "interval", "alice", n], 2,
                   SECONDS.format(n) + " (see arkvanectl auth interval --help)")
                  for n in ("soon", "99999999999")),
                ("root", ["auth", "alice", "bob"], 2, "too many arguments for auth (see arkvanectl auth --help)")):
            with self.subTest(user=user, args=args):
                self.assertEnds(ctl(*args, user=user), status, "", f"arkvanectl: {message}\n")
        # A refused change still reaches the daemon, which logs it.
        self.assertEqual(len([l for l in self.syslog.lines() if "may not change the certification" in l]), 2)

    def test_own_box_root_leading_to_a_directory_not_owned_is_refused(self):
        (foreign,) = make_tree(SCRATCH, ["not-alices/"])
        os.rmdir(box_of("alice"))
        os.symlink(foreign, box_of("alice"))
        for args in (("files",), ("close", "--yes")):
            self.assertEnds(ctl(*args, user="alice"), 1, "", f"arkvanectl: {NOT_ALICES.format(foreign)}\n")

    def test_box_through_a_symbolic_link_is_the_box_it_leads_to(self):
        self.hold(make_tree(box_of("root"), ["f"]))
        link = os.path.join(SCRATCH, "boxlink")
        os.symlink(box_of("root"), link)
        self.assertEnds(ctl("files", "--full", link), 0, "/root/.box/f\n", "")

    def test_control_characters_are_escaped_in_lines_and_exact_in_json(self):
        name = "odd\nname\t\x1b[31m\u202etxt.exe\\n"
        (f,) = make_tree(box_of("root"), [name])
        self.hold([f])
        self.assertEnds(ctl("files"), 0, "odd\\nname\\t\\x1b[31m\\u202etxt.exe\\\\n\n")
        self.assertEqual(json.loads(ctl("files", "--json").stdout), [{"path": f, "relative": name}])

    def test_terminal_shows_aligned_columns_within_half_its_width(self):
        a, b = make_tree(box_of("root"), ["a", "docs/longer-name.txt"])
        self.hold([a, b])
        count = ["", "2 files held open in /root/.box."]
        for args, user, columns, lines in (
                (["files", "--full"], "root", 100, ["PATH IN BOX           FULL PATH",
                                                    f"a                     {a}",
                                                    f"docs/longer-name.txt  {b}"] + count),
                (["files", "--full"], "root", 30, ["PATH IN BOX      FULL PATH",
                                                   f"a                {a}",
                                                   f"docs/longer-name.txt  {b}"] + count),
                (["files"], "root", 100, ["PATH IN BOX", "a", "docs/longer-name.txt"] + count),
                (["files"], "alice", 100, ["No file is held open in /home/alice/.box."]),
                (["auth", "frank"], "root", 100, ["User               frank",
                                                  "Must authenticate  yes",
                                                  "Interval           600 seconds"])):
            with self.subTest(args=args, columns=columns):
                self.assertEqual(on_terminal(*args, user=user, columns=columns), (0, "\n".join(lines) + "\n"))


class Close(CtlCase):
    def test_in_a_pipe_it_ends_the_holders_without_asking(self):
        a, b, c = make_tree(box_of("root"), ["a", "sub/b", "c"])
        first, second = self.hold([a]), self.hold([b, c])
        self.assertEnds(ctl("close"), 0, "/root/.box: 3 files were held open; none is held now.\n")
        self.assertEqual((first.signal_of_death(), second.signal_of_death()), (signal.SIGKILL,) * 2)

    def test_the_client_survives_holding_a_box_file_itself(self):
        a, mine = make_tree(box_of("root"), ["a", "mine"])
        holder = self.hold([a])
        # Only the client's process may hold it: the daemon spares its caller alone.
        done = ctl("close", "--yes", wrapper=["sh", "-c", 'exec 3<"$0" && exec "$@"', mine])
        self.assertEnds(done, 0, "/root/.box: 2 files were held open; 1 file is still held.\n  mine\n")
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)

    def test_on_a_terminal_only_yes_closes(self):
        holder = self.hold(make_tree(box_of("alice"), ["f"], user="alice"), user="alice")
        question = "1 file held open in /home/alice/.box. End every process holding files there? [y/N] "
        for answer in ("n", ""):
            self.assertEqual(on_terminal("close", user="alice", answer=answer),
                             (1, f"{question}{answer}\narkvanectl: cancelled: no process was ended\n"))
            self.assertTrue(holder.alive())
        self.assertEqual(on_terminal("close", user="alice", answer="y"),
                         (0, f"{question}y\n/home/alice/.box: 1 file was held open; none is held now.\n"))
        self.assertEqual(holder.signal_of_death(), signal.SIGKILL)


class Usage(unittest.TestCase):
    def test_help_of_the_program_and_of_each_command(self):
        for args, first in ((("-h",), "Usage: arkvanectl [OPTION...] COMMAND [ARG...]"),
                            (("files", "--help"), "Usage: arkvanectl files [--full] [--json] [BOX]"),
                            (("help", "close"), "Usage: arkvanectl close [--yes] [BOX]"),
                            (("auth", "interval", "--help"),
                             "Usage: arkvanectl auth [status] [--json] [USER]"),
                            (("files", "--version"), "arkvanectl " + re.search(
                                r"project\(arkvane VERSION (\S+)",
                                open(os.path.join(SOURCE_DIR, "CMakeLists.txt")).read())[1])):
            with self.subTest(args=args):
                done = ctl(*args, user="alice")
                self.assertEqual((done.returncode, done.stderr, done.stdout.splitlines()[0]), (0, "", first))

    def test_manual_page_formats_cleanly_and_names_every_option(self):
        page = os.path.join(SOURCE_DIR, "src", "ctl", "arkvanectl.1")
        self.assertEqual(run(["groff", "-man", "-ww", "-z", page]).stderr, "")
        text = run(["groff", "-man", "-Tutf8", "-P", "-cbou", page]).stdout
        for option in re.findall(r"--[a-z]+", ctl("--help").stdout):
            with self.subTest(option=option):
                self.assertIn(option.replace("-", "\u2010"), text.replace("-", "\u2010"))

    def test_bash_completion(self):
        script = os.path.join(SOURCE_DIR, "src", "ctl", "arkvanectl.bash-completion")
        for words, expected in (([""], ["files", "who", "wait", "close", "auth", "help"]), (["au"], ["auth"]),
                                (["auth", "p"], ["passed"]),
                                (["files", "--"], ["--help", "--version", "--full", "--json"]),
                                (["close", "--"], ["--help", "--version", "--yes"]),
                                (["auth", "passed", "al"], ["alice"])):
            with self.subTest(words=words):
                line = " ".join(f"'{w}'" for w in words)
                done = run(["bash", "-c", f'source "$0"; COMP_WORDS=(arkvanectl {line}); '
                            f'COMP_CWORD={len(words)}; _arkvanectl; printf "%s\\n" "${{COMPREPLY[@]}}"',
                            script])
                self.assertEqual((done.stderr, done.stdout.split()), ("", expected))


def queued_bytes(pid):
    """Bytes waiting on the process's sockets, read through copies of its descriptors."""
    getfd, pidfd, total = ctypes.CDLL(None).syscall, os.pidfd_open(pid), 0
    for fd in os.listdir(f"/proc/{pid}/fd"):
        if os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
            copy = getfd(438, pidfd, int(fd), 0)  # pidfd_getfd
            total += struct.unpack("i", fcntl.ioctl(copy, termios.FIONREAD, b"\0" * 4))[0]
            os.close(copy)
    os.close(pidfd)
    return total


class DaemonGone(unittest.TestCase):
    def test_a_daemon_that_dies_mid_call_then_is_not_running(self):
        daemon = Daemon().start()
        os.kill(daemon.pid, signal.SIGSTOP)
        before = queued_bytes(daemon.pid)
        client = subprocess.Popen(as_user("alice", [CTL, "files"]), stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        # Once the call waits in the stopped daemon's socket, the daemon dies.
        while queued_bytes(daemon.pid) == before:
            self.assertIsNone(client.poll())
            time.sleep(0.01)
        daemon.stop()
        stdout, stderr = client.communicate(timeout=60)
        self.assertEqual((client.returncode, stdout, stderr), (3, "", (
            "arkvanectl: arkvaned did not answer: Message recipient disconnected from message bus "
            "without replying\n")))
        # The bus drops the name when it sees the connection close.
        while busctl("call", "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                     "NameHasOwner", "s", "com.tavrin.arkvane").stdout.strip() != "b false":
            pass
        for args in (("files",), ("files", "--json"), ("close", "--yes"), ("auth",),
                     ("auth", "passed"), ("auth", "interval", "5")):
            with self.subTest(args=args):
                done = ctl(*args, user="alice")
                self.assertEqual((done.returncode, done.stdout, done.stderr), (3, "", NOT_RUNNING))
