// SPDX-License-Identifier: GPL-2.0-or-later
// arkvanectl: the command-line client of the box daemon.

#include "commands.h"
#include "wiretypes.h"

#include <QCoreApplication>

#include <unistd.h>

#include <cstdio>
#include <iterator>

namespace {

const char kFilesHelp[] = "Usage: arkvanectl files [--full] [--json] [BOX]\n"
                          "\n"
                          "Lists the files that running processes hold open inside BOX (default:\n"
                          "your own box root), one per line as the path inside the box.\n"
                          "\n"
                          "  --full  Print full paths (on a terminal, beside the paths inside the box)\n"
                          "  --json  Print an array of {\"path\": FULL, \"relative\": INSIDE}\n"
                          "\n"
                          "BOX is made absolute against the working directory; the daemon resolves it.\n"
                          "Control characters in names are shown escaped; --json gives them exactly.\n";

const char kWhoHelp[] = "Usage: arkvanectl who [--json] [BOX]\n"
                        "\n"
                        "Lists the processes holding files open inside BOX (default: your own box\n"
                        "root), each with the files it holds there and how (r: reading, w: writing,\n"
                        "rw: both). Of another user's process you see what /proc shows you: its\n"
                        "program only when you could read it there yourself.\n"
                        "\n"
                        "In a pipe, one line per process, tab-separated: PID, UID, NAME, PROGRAM,\n"
                        "then MODE:PATH for each file.\n"
                        "\n"
                        "  --json  Print an array of {\"pid\", \"startTime\" (nanoseconds after boot),\n"
                        "          \"uid\", \"name\", \"executable\", \"files\": [{\"path\", \"mode\"}]}\n";

const char kWaitHelp[] = "Usage: arkvanectl wait [--timeout SECONDS] [BOX]\n"
                         "\n"
                         "Waits until no process holds a file open inside BOX (default: your own box\n"
                         "root), and returns at once when none does. The daemon tells when that\n"
                         "changes: nothing is polled from here. On a terminal the number of\n"
                         "processes holding files there is shown as it changes.\n"
                         "\n"
                         "  --timeout SECONDS  Give up after SECONDS (exit status 4)\n";

const char kCloseHelp[] = "Usage: arkvanectl close [--yes] [BOX]\n"
                          "\n"
                          "Ends (SIGKILL) every process holding a file inside BOX (default: your own\n"
                          "box root), except arkvanectl itself. Says how many files were held open\n"
                          "before and whether any are still held after.\n"
                          "\n"
                          "When standard input is a terminal it asks first, unless --yes is given;\n"
                          "elsewhere it does not ask.\n"
                          "\n"
                          "  -y, --yes  Do not ask\n";

const char kAuthHelp[] = "Usage: arkvanectl auth [status] [--json] [USER]\n"
                         "       arkvanectl auth passed [USER]\n"
                         "       arkvanectl auth interval [USER] SECONDS\n"
                         "\n"
                         "The daemon keeps a re-authentication timer per user name.\n"
                         "\n"
                         "  status    Whether USER must authenticate again before the box is shown,\n"
                         "            and the interval (the default; \"status\" is needed only for a\n"
                         "            user named \"passed\", \"interval\" or \"status\")\n"
                         "  passed    Record that USER passed an authentication: the pass holds for\n"
                         "            the interval\n"
                         "  interval  Set how many seconds a pass of USER holds; 0 or less ends\n"
                         "            every pass within a second\n"
                         "\n"
                         "  --json  Print {\"user\": USER, \"required\": BOOL, \"interval\": SECONDS}\n"
                         "\n"
                         "USER defaults to your own user name. Users other than root may record a\n"
                         "pass or set the interval only for themselves.\n";

} // namespace

const CommandRow kCommands[] = {
    {"files", nullptr, 0, 1, nullptr, OptFull | OptJson, "files [BOX]", "List the files held open inside BOX",
     kFilesHelp, runFiles},
    {"who", nullptr, 0, 1, nullptr, OptJson, "who [BOX]", "List the processes holding files inside BOX",
     kWhoHelp, runWho},
    {"wait", nullptr, 0, 1, nullptr, OptTimeout, "wait [BOX]", "Wait until no process holds files inside BOX",
     kWaitHelp, runWait},
    {"close", nullptr, 0, 1, nullptr, OptYes, "close [BOX]", "End the processes holding files inside BOX",
     kCloseHelp, runClose},
    {"auth", "status", 0, 1, nullptr, OptJson, "auth [status] [USER]",
     "Show whether USER must authenticate again", kAuthHelp, runAuthStatus},
    {"auth passed", nullptr, 0, 1, nullptr, 0, "auth passed [USER]",
     "Record that USER passed an authentication", kAuthHelp, runAuthPassed},
    {"auth interval", nullptr, 1, 2, "SECONDS", 0, "auth interval [USER] SECONDS",
     "Set how long a pass of USER stays valid", kAuthHelp, runAuthInterval},
};
const std::size_t kCommandCount = std::size(kCommands);

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    registerWireTypes();

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments().mid(1));
    const Invocation &invocation = parsed.invocation;
    if (!parsed.usageError.isEmpty()) {
        const QString hint =
            invocation.command
                ? QStringLiteral("see arkvanectl %1 --help").arg(QLatin1String(invocation.command->words))
                : QStringLiteral("see arkvanectl --help");
        complain(QStringLiteral("%1 (%2)").arg(parsed.usageError, hint));
        return exitCode(ExitStatus::Usage);
    }
    if (invocation.has(OptHelp)) {
        (void)std::fputs(helpText(invocation.command).toUtf8().constData(), stdout);
        return exitCode(ExitStatus::Success);
    }
    if (invocation.has(OptVersion)) {
        printLine(QStringLiteral("arkvanectl ") + QLatin1String(ARKVANE_VERSION));
        return exitCode(ExitStatus::Success);
    }
    // The daemon sees the effective uid of the connection.
    const CallerAccount account = accountOfUid(geteuid());
    return exitCode(invocation.command->run(invocation, DaemonLink(), account));
}
