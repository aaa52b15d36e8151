// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "account.h"
#include "console.h"
#include "daemonlink.h"

#include <QStringList>

#include <cstddef>

// Options, as bits: a command row lists those it takes besides --help and
// --version, which every command takes.
enum Option : unsigned {
    OptHelp = 1u << 0,
    OptVersion = 1u << 1,
    OptFull = 1u << 2,
    OptJson = 1u << 3,
    OptYes = 1u << 4,
    OptTimeout = 1u << 5, // takes a value: --timeout SECONDS
};

struct CommandRow;

// What the command line asks for, before anything is checked against the
// system.
struct Invocation
{
    const CommandRow *command = nullptr; // null: no command given
    QStringList operands;                // after the command words (without SECONDS)
    int seconds = 0;                     // the SECONDS operand of a command that takes one
    int timeoutSeconds = -1;             // --timeout's value; -1 without it
    unsigned options = 0;

    bool has(Option option) const { return (options & option) != 0; }
};

using CommandFunction = ExitStatus (*)(const Invocation &, const DaemonLink &, const CallerAccount &);

// One command of the client.
struct CommandRow
{
    const char *words;        // as typed ("auth interval"), and as messages name it
    const char *optionalWord; // may follow the words and changes nothing ("status"), or null
    int minOperands;
    int maxOperands;
    const char *lastOperand; // a last operand read as whole seconds ("SECONDS"), or null
    unsigned options;        // the options it takes besides --help and --version
    const char *synopsis;    // its line in the program's help...
    const char *summary;     // ... and what that line says of it
    const char *help;        // the text of "arkvanectl COMMAND --help"
    CommandFunction run;
};

extern const CommandRow kCommands[];
extern const std::size_t kCommandCount;

struct ParsedCommandLine
{
    Invocation invocation;
    QString usageError; // empty when the command line is well formed
};

// Reads the arguments after the program name. Options may stand anywhere;
// "--" ends them, and a negative whole number is an operand (an interval may
// be negative).
ParsedCommandLine parseCommandLine(const QStringList &arguments);

// The command's help, or the program's for null.
QString helpText(const CommandRow *command);

ExitStatus runFiles(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account);
ExitStatus runWho(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account);
ExitStatus runClose(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account);
ExitStatus runWait(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account);
ExitStatus runAuthStatus(const Invocation &invocation, const DaemonLink &daemon,
                         const CallerAccount &account);
ExitStatus runAuthPassed(const Invocation &invocation, const DaemonLink &daemon,
                         const CallerAccount &account);
ExitStatus runAuthInterval(const Invocation &invocation, const DaemonLink &daemon,
                           const CallerAccount &account);
