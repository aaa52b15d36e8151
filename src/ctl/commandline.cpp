// SPDX-License-Identifier: GPL-2.0-or-later
#include "commands.h"

#include <limits>

namespace {

struct OptionName
{
    const char *longName;
    const char *shortName; // or null
    Option option;
};

// In the order their misuse is reported.
const OptionName kOptions[] = {
    {"--help", "-h", OptHelp},    {"--version", nullptr, OptVersion},
    {"--full", nullptr, OptFull}, {"--json", nullptr, OptJson},
    {"--yes", "-y", OptYes},      {"--timeout", nullptr, OptTimeout},
};

const char kProgramHelpHead[] = "Usage: arkvanectl [OPTION...] COMMAND [ARG...]\n"
                                "\n"
                                "Shows and manages boxes through the box daemon, arkvaned.\n"
                                "\n"
                                "Commands:\n";

const char kProgramHelpTail[] = "  help [COMMAND]                Show the help of COMMAND\n"
                                "\n"
                                "BOX defaults to your own box root (~/.box), USER to your own user name.\n"
                                "Users other than root are served only inside their own box and may\n"
                                "change only their own authentication entry.\n"
                                "\n"
                                "Options:\n"
                                "  -h, --help     Show this help, or a command's\n"
                                "      --version  Show the version\n"
                                "      --json     Print JSON (files, who, auth)\n"
                                "      --full     Print full paths (files)\n"
                                "  -y, --yes      Close without asking (close)\n"
                                "      --timeout SECONDS\n"
                                "                 Give up waiting after SECONDS (wait)\n"
                                "\n"
                                "Exit status: 0 success, 1 the daemon failed or refused, 2 usage error,\n"
                                "3 the daemon cannot be reached, 4 the wait timed out.\n";

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

// The option the argument names, or 0 for one this program lacks.
// "--timeout=SECONDS" names --timeout too.
unsigned optionNamed(const QString &argument)
{
    if (argument.startsWith(QLatin1String("--timeout=")))
        return OptTimeout;
    for (const OptionName &name : kOptions) {
        if (argument == QLatin1String(name.longName)
            || (name.shortName && argument == QLatin1String(name.shortName)))
            return name.option;
    }
    return 0;
}

// The row whose words begin the operands, the longest such; its words (and
// an optional word after them) are taken off the operands.
const CommandRow *takeCommand(QStringList &operands)
{
    const CommandRow *found = nullptr;
    int foundLength = 0;
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        const QStringList words = QString::fromLatin1(kCommands[i].words).split(QLatin1Char(' '));
        if (words.size() > foundLength && operands.mid(0, words.size()) == words) {
            found = &kCommands[i];
            foundLength = words.size();
        }
    }
    if (!found)
        return nullptr;
    operands = operands.mid(foundLength);
    if (found->optionalWord && operands.value(0) == QLatin1String(found->optionalWord))
        operands.removeFirst();
    return found;
}

QString checkOperandCount(const Invocation &invocation)
{
    const CommandRow &command = *invocation.command;
    const int count = invocation.operands.size();
    if (count < command.minOperands)
        return QStringLiteral("%1 needs %2")
            .arg(QLatin1String(command.words), QLatin1String(command.lastOperand));
    if (count > command.maxOperands)
        return QStringLiteral("too many arguments for %1").arg(QLatin1String(command.words));
    return {};
}

// The commands that take the option, as "files, who and auth".
QString takersOf(Option option)
{
    QStringList names;
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        const QString name = QString::fromLatin1(kCommands[i].words);
        if ((kCommands[i].options & option) && !names.contains(name))
            names.append(name);
    }
    const QString last = names.isEmpty() ? QString() : names.takeLast();
    return names.isEmpty() ? last : names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}

QString checkOptionsApply(const Invocation &invocation)
{
    for (const OptionName &name : kOptions) {
        const unsigned always = OptHelp | OptVersion;
        if (invocation.has(name.option) && !(name.option & (always | invocation.command->options)))
            return QStringLiteral("%1 applies only to %2")
                .arg(QLatin1String(name.longName), takersOf(name.option));
    }
    return {};
}

// Moves the last operand into seconds.
QString takeSeconds(Invocation &invocation)
{
    const QString text = invocation.operands.takeLast();
    bool ok = false;
    invocation.seconds = text.toInt(&ok, 10);
    if (!ok)
        return QStringLiteral("%1 must be a whole number from %2 to %3, not \"%4\"")
            .arg(QLatin1String(invocation.command->lastOperand))
            .arg(std::numeric_limits<int>::min())
            .arg(std::numeric_limits<int>::max())
            .arg(text);
    return {};
}

} // namespace

ParsedCommandLine parseCommandLine(const QStringList &arguments)
{
    ParsedCommandLine parsed;
    Invocation &invocation = parsed.invocation;
    QStringList operands;
    bool optionsEnded = false;
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
        } else if (!optionsEnded && isOption(argument)) {
            const unsigned option = optionNamed(argument);
            invocation.options |= option;
            if (!option && parsed.usageError.isEmpty())
                parsed.usageError = QStringLiteral("unknown option %1").arg(argument);
            if (option == OptTimeout) {
                const int equals = argument.indexOf(QLatin1Char('='));
                const QString value = equals >= 0 ? argument.mid(equals + 1) : arguments.value(++i);
                bool ok = false;
                invocation.timeoutSeconds = value.toInt(&ok, 10);
                if ((!ok || invocation.timeoutSeconds < 0) && parsed.usageError.isEmpty())
                    parsed.usageError =
                        QStringLiteral("--timeout needs a whole number of seconds, not \"%1\"").arg(value);
            }
        } else {
            operands.append(argument);
        }
    }
    // "help COMMAND" is "COMMAND --help".
    if (!operands.isEmpty() && operands.first() == QLatin1String("help")) {
        operands.removeFirst();
        invocation.options |= OptHelp;
    }
    if (!operands.isEmpty()) {
        const QString word = operands.first();
        invocation.command = takeCommand(operands);
        if (!invocation.command && parsed.usageError.isEmpty())
            parsed.usageError = QStringLiteral("unknown command \"%1\"").arg(word);
    }
    invocation.operands = operands;
    // Help and version are answered whatever else the line holds, once its
    // words are known.
    if (!parsed.usageError.isEmpty() || invocation.has(OptHelp) || invocation.has(OptVersion))
        return parsed;
    if (!invocation.command) {
        parsed.usageError = QStringLiteral("no command given");
        return parsed;
    }
    parsed.usageError = checkOperandCount(invocation);
    if (parsed.usageError.isEmpty())
        parsed.usageError = checkOptionsApply(invocation);
    if (parsed.usageError.isEmpty() && invocation.command->lastOperand)
        parsed.usageError = takeSeconds(invocation);
    return parsed;
}

QString helpText(const CommandRow *command)
{
    if (command)
        return QString::fromUtf8(command->help);
    QString text = QString::fromUtf8(kProgramHelpHead);
    for (std::size_t i = 0; i < kCommandCount; ++i) {
        text += QStringLiteral("  %1  %2\n")
                    .arg(QString::fromUtf8(kCommands[i].synopsis).leftJustified(28),
                         QString::fromUtf8(kCommands[i].summary));
    }
    return text + QString::fromUtf8(kProgramHelpTail);
}
