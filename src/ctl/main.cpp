// arkvanectl: the command-line client of the box daemon.

#include "commandline.h"
#include "commands.h"
#include "console.h"
#include "helptext.h"
#include "wiretypes.h"

#include <QCoreApplication>

#include <cstdio>

namespace {

ExitStatus run(const Invocation &invocation)
{
    const DaemonLink daemon;
    const OwnAccount account = ownAccount();
    switch (invocation.command) {
    case Command::Files:
        return runFiles(invocation, daemon, account);
    case Command::Close:
        return runClose(invocation, daemon, account);
    case Command::AuthStatus:
        return runAuthStatus(invocation, daemon, account);
    case Command::AuthPassed:
        return runAuthPassed(invocation, daemon, account);
    case Command::AuthInterval:
        return runAuthInterval(invocation, daemon, account);
    case Command::None:
        break;
    }
    return ExitStatus::Usage;
}

QString usageHint(Command command)
{
    const QString name = commandName(command);
    return name.isEmpty() ? QStringLiteral("see arkvanectl --help")
                          : QStringLiteral("see arkvanectl %1 --help").arg(name);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    registerWireTypes();

    const ParsedCommandLine parsed = parseCommandLine(QCoreApplication::arguments().mid(1));
    const Invocation &invocation = parsed.invocation;
    if (!parsed.usageError.isEmpty()) {
        complain(QStringLiteral("%1 (%2)").arg(parsed.usageError, usageHint(invocation.command)));
        return exitCode(ExitStatus::Usage);
    }
    if (invocation.help) {
        std::fputs(helpText(invocation.command).toUtf8().constData(), stdout);
        return exitCode(ExitStatus::Success);
    }
    if (invocation.version) {
        printLine(QStringLiteral("arkvanectl ") + QLatin1String(ARKVANE_VERSION));
        return exitCode(ExitStatus::Success);
    }
    return exitCode(run(invocation));
}
