#pragma once

#include <QString>
#include <QStringList>

enum class Command {
    None,
    Files,
    Close,
    AuthStatus,
    AuthPassed,
    AuthInterval,
};

// What the command line asks for, before anything is checked against the
// system.
struct Invocation
{
    Command command = Command::None;
    QStringList operands; // after the command words (without SECONDS)
    int seconds = 0;      // auth interval's SECONDS
    bool help = false;
    bool version = false;
    bool json = false;
    bool full = false;
    bool yes = false;
};

struct ParsedCommandLine
{
    Invocation invocation;
    QString usageError; // empty when the command line is well formed
};

// Reads the arguments after the program name. Options may stand anywhere;
// "--" ends them, and a negative whole number is an operand (an interval may
// be negative).
ParsedCommandLine parseCommandLine(const QStringList &arguments);

// The command's name as the user types it ("auth interval"), or "" for None.
QString commandName(Command command);
