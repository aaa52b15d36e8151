#pragma once

#include <QString>
#include <QStringList>

// text with every control character written as an escape (\n, \t, \x1b...),
// so that a file name can neither break a line nor steer the terminal.
// Exact names are in the --json output.
QString printable(const QString &text);

// How many terminal cells text takes.
int displayWidth(const QString &text);

// Rows of cells as lines whose columns line up, two spaces apart. A column
// is as wide as its widest cell, but no column before the last is widened
// past half of width: a longer cell pushes the rest of its row along rather
// than pushing every row past the terminal's edge.
QStringList alignedRows(const QList<QStringList> &rows, int width);

// "1 file", "3 files"
QString countOf(int count, const QString &singular, const QString &plural);
