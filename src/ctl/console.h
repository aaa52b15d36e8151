// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>

class QJsonDocument;

// The client's exit statuses, as its manual page documents them.
enum class ExitStatus {
    Success = 0,
    Failure = 1, // the daemon answered with a failure or a refusal
    Usage = 2,
    Unreachable = 3, // no system bus, or nobody owns the daemon's name
    TimedOut = 4,    // a wait ended by its timeout
};

inline int exitCode(ExitStatus status)
{
    return static_cast<int>(status);
}

// How a step that did not succeed ends the program: its exit status and the
// one line that says why.
struct Outcome
{
    ExitStatus status = ExitStatus::Success;
    QString message;

    bool succeeded() const { return status == ExitStatus::Success; }

    static Outcome success() { return {}; }
    static Outcome failure(const QString &why) { return {ExitStatus::Failure, why}; }
    static Outcome unreachable(const QString &why) { return {ExitStatus::Unreachable, why}; }
};

// Writes text and a line feed to standard output, in UTF-8.
void printLine(const QString &text);

// Writes a JSON document to standard output.
void printJson(const QJsonDocument &document);

// Writes "arkvanectl: message" as one line to standard error.
void complain(const QString &message);

// Says why outcome failed, in one line on standard error, and gives its
// exit status.
ExitStatus endWith(const Outcome &outcome);

bool standardOutputIsTerminal();
bool standardInputIsTerminal();

// Columns of the terminal on standard output: its window size, else
// $COLUMNS, else 80.
int terminalColumns();

// Puts question on standard error and reads one line of answer from standard
// input; true only for "y" or "yes" (in any case). End of input is no.
bool confirmed(const QString &question);

// text with every control character written as an escape (\n, \t, \x1b...),
// every bidirectional control as \u202e and so on, and a backslash as \\, so
// that a file name can neither break a line, steer the terminal, reorder what
// is shown nor pass for a name holding an escape. Exact names are in the
// --json output.
QString printable(const QString &text);

// Rows of cells as lines whose columns line up, two spaces apart. A column
// is as wide as its widest cell, but no column before the last is widened
// past half of width: a longer cell pushes the rest of its row along rather
// than pushing every row past the terminal's edge.
QStringList alignedRows(const QList<QStringList> &rows, int width);

// "1 file", "3 files"
QString countOf(int count, const QString &singular, const QString &plural);
