#include "helptext.h"

namespace {

const char kProgramHelp[] =
    "Usage: arkvanectl [OPTION...] COMMAND [ARG...]\n"
    "\n"
    "Shows and manages boxes through the box daemon, arkvaned.\n"
    "\n"
    "Commands:\n"
    "  files [BOX]                   List the files held open inside BOX\n"
    "  close [BOX]                   End the processes holding files inside BOX\n"
    "  auth [status] [USER]          Show whether USER must authenticate again\n"
    "  auth passed [USER]            Record that USER passed an authentication\n"
    "  auth interval [USER] SECONDS  Set how long a pass of USER stays valid\n"
    "  help [COMMAND]                Show the help of COMMAND\n"
    "\n"
    "BOX defaults to your own box root (~/.box), USER to your own user name.\n"
    "Users other than root are served only inside their own box and may\n"
    "change only their own authentication entry.\n"
    "\n"
    "Options:\n"
    "  -h, --help     Show this help, or a command's\n"
    "      --version  Show the version\n"
    "      --json     Print JSON (files, auth)\n"
    "      --full     Print full paths (files)\n"
    "  -y, --yes      Close without asking (close)\n"
    "\n"
    "Exit status: 0 success, 1 the daemon failed or refused, 2 usage error,\n"
    "3 the daemon cannot be reached.\n";

const char kFilesHelp[] =
    "Usage: arkvanectl files [--full] [--json] [BOX]\n"
    "\n"
    "Lists the files that running processes hold open inside BOX (default:\n"
    "your own box root), one per line as the path inside the box.\n"
    "\n"
    "  --full  Print full paths (on a terminal, beside the paths inside the box)\n"
    "  --json  Print an array of {\"path\": FULL, \"relative\": INSIDE}\n"
    "\n"
    "BOX is used as written, made absolute against the working directory.\n"
    "Control characters in names are shown escaped; --json gives them exactly.\n";

const char kCloseHelp[] =
    "Usage: arkvanectl close [--yes] [BOX]\n"
    "\n"
    "Ends (SIGKILL) every process holding a file inside BOX (default: your own\n"
    "box root), except arkvanectl itself. Says how many files were held open\n"
    "before and whether any are still held after.\n"
    "\n"
    "When standard input is a terminal it asks first, unless --yes is given;\n"
    "elsewhere it does not ask.\n"
    "\n"
    "  -y, --yes  Do not ask\n";

const char kAuthHelp[] =
    "Usage: arkvanectl auth [status] [--json] [USER]\n"
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

QString helpText(Command command)
{
    switch (command) {
    case Command::None:
        break;
    case Command::Files:
        return QString::fromUtf8(kFilesHelp);
    case Command::Close:
        return QString::fromUtf8(kCloseHelp);
    case Command::AuthStatus:
    case Command::AuthPassed:
    case Command::AuthInterval:
        return QString::fromUtf8(kAuthHelp);
    }
    return QString::fromUtf8(kProgramHelp);
}
