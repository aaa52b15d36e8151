#pragma once

#include <QString>

bool standardOutputIsTerminal();
bool standardInputIsTerminal();

// Columns of the terminal on standard output: its window size, else
// $COLUMNS, else 80.
int terminalColumns();

// Puts question on standard error and reads one line of answer from standard
// input; true only for "y" or "yes" (in any case). End of input is no.
bool confirmed(const QString &question);
