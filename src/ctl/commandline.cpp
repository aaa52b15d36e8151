#include "commandline.h"

#include <limits>

namespace {

bool isNegativeNumber(const QString &argument)
{
    if (argument.size() < 2 || argument.at(0) != QLatin1Char('-'))
        return false;
    for (int i = 1; i < argument.size(); ++i) {
        const ushort c = argument.at(i).unicode();
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

bool isOption(const QString &argument)
{
    return argument.size() > 1 && argument.startsWith(QLatin1Char('-')) && !isNegativeNumber(argument);
}

// Sets the flag the option names; false for an option this program lacks.
bool applyOption(const QString &option, Invocation &invocation)
{
    if (option == QLatin1String("--help") || option == QLatin1String("-h"))
        invocation.help = true;
    else if (option == QLatin1String("--version"))
        invocation.version = true;
    else if (option == QLatin1String("--json"))
        invocation.json = true;
    else if (option == QLatin1String("--full"))
        invocation.full = true;
    else if (option == QLatin1String("--yes") || option == QLatin1String("-y"))
        invocation.yes = true;
    else
        return false;
    return true;
}

// Takes the command words off the front of the operands.
QString takeCommand(QStringList &operands, Command &command)
{
    const QString word = operands.takeFirst();
    if (word == QLatin1String("files")) {
        command = Command::Files;
    } else if (word == QLatin1String("close")) {
        command = Command::Close;
    } else if (word == QLatin1String("auth")) {
        command = Command::AuthStatus;
        const QString sub = operands.value(0);
        if (sub == QLatin1String("status")) {
            operands.removeFirst();
        } else if (sub == QLatin1String("passed")) {
            operands.removeFirst();
            command = Command::AuthPassed;
        } else if (sub == QLatin1String("interval")) {
            operands.removeFirst();
            command = Command::AuthInterval;
        }
    } else {
        return QStringLiteral("unknown command \"%1\"").arg(word);
    }
    return {};
}

QString checkOperandCount(const Invocation &invocation)
{
    const int count = invocation.operands.size();
    const bool fits = invocation.command == Command::AuthInterval ? (count == 1 || count == 2)
                                                                  : count <= 1;
    if (fits)
        return {};
    if (invocation.command == Command::AuthInterval && count == 0)
        return QStringLiteral("auth interval needs SECONDS");
    return QStringLiteral("too many arguments for %1").arg(commandName(invocation.command));
}

QString checkOptionsApply(const Invocation &invocation)
{
    const Command command = invocation.command;
    if (invocation.full && command != Command::Files)
        return QStringLiteral("--full applies only to files");
    if (invocation.json && command != Command::Files && command != Command::AuthStatus)
        return QStringLiteral("--json applies only to files and auth");
    if (invocation.yes && command != Command::Close)
        return QStringLiteral("--yes applies only to close");
    return {};
}

// Moves auth interval's last operand into seconds.
QString takeSeconds(Invocation &invocation)
{
    const QString text = invocation.operands.takeLast();
    bool ok = false;
    invocation.seconds = text.toInt(&ok, 10);
    if (!ok)
        return QStringLiteral("SECONDS must be a whole number from %1 to %2, not \"%3\"")
            .arg(std::numeric_limits<int>::min())
            .arg(std::numeric_limits<int>::max())
            .arg(text);
    return {};
}

} // namespace

QString commandName(Command command)
{
    switch (command) {
    case Command::None:
        break;
    case Command::Files:
        return QStringLiteral("files");
    case Command::Close:
        return QStringLiteral("close");
    case Command::AuthStatus:
        return QStringLiteral("auth");
    case Command::AuthPassed:
        return QStringLiteral("auth passed");
    case Command::AuthInterval:
        return QStringLiteral("auth interval");
    }
    return {};
}

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    ParsedCommandLine parsed;
    Invocation &invocation = parsed.invocation;
    QStringList operands;
    bool optionsEnded = false;
    for (const QString &argument : arguments) {
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && isOption(argument)) {
            if (!applyOption(argument, invocation) && parsed.usageError.isEmpty())
                parsed.usageError = QStringLiteral("unknown option %1").arg(argument);
        } else {
            operands.append(argument);
        }
    }
    // "help COMMAND" is "COMMAND --help".
    if (!operands.isEmpty() && operands.first() == QLatin1String("help")) {
        operands.removeFirst();
        invocation.help = true;
    }
    if (!operands.isEmpty()) {
        const QString error = takeCommand(operands, invocation.command);
        if (parsed.usageError.isEmpty())
            parsed.usageError = error;
    }
    invocation.operands = operands;
    // Help and version are answered whatever else the line holds, once its
    // words are known.
    if (!parsed.usageError.isEmpty() || invocation.help || invocation.version)
        return parsed;
    if (invocation.command == Command::None) {
        parsed.usageError = QStringLiteral("no command given");
        return parsed;
    }
    parsed.usageError = checkOperandCount(invocation);
    if (parsed.usageError.isEmpty())
        parsed.usageError = checkOptionsApply(invocation);
    if (parsed.usageError.isEmpty() && invocation.command == Command::AuthInterval)
        parsed.usageError = takeSeconds(invocation);
    return parsed;
}
