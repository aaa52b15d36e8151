// SPDX-License-Identifier: GPL-2.0-or-later
#include "console.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QVector>

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>

namespace {

void writeLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    // A reader that went away (a closed pipe) is told nothing more.
    (void)std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    (void)std::fflush(stream);
}

// How many terminal cells text takes.
int displayWidth(const QString &text)
{
    int width = 0;
    for (const uint code : text.toUcs4()) {
        const int cells = wcwidth(static_cast<wchar_t>(code));
        width += cells < 0 ? 1 : cells;
    }
    return width;
}

// Marks that reorder the text around them on a terminal: embeddings and
// overrides (U+202A-U+202E), isolates (U+2066-U+2069), the left-to-right and
// right-to-left marks and the Arabic letter mark. Shown raw, they let one
// name pass for another.
bool isBidirectionalControl(ushort code)
{
    return (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069) || code == 0x200e
           || code == 0x200f || code == 0x061c;
}

} // namespace

void printLine(const QString &text)
{
    writeLine(stdout, text);
}

void complain(const QString &message)
{
    writeLine(stderr, QStringLiteral("arkvanectl: ") + message);
}

ExitStatus endWith(const Outcome &outcome)
{
    complain(outcome.message);
    return outcome.status;
}

void printJson(const QJsonDocument &document)
{
    const QByteArray bytes = document.toJson(QJsonDocument::Indented);
    (void)std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    (void)std::fflush(stdout);
}

bool standardOutputIsTerminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

bool standardInputIsTerminal()
{
    return isatty(STDIN_FILENO) == 1;
}

int terminalColumns()
{
    struct winsize size
    {
    };
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 0 ? columns : 80;
}

bool confirmed(const QString &question)
{
    const QByteArray prompt = question.toUtf8() + " [y/N] ";
    (void)std::fwrite(prompt.constData(), 1, static_cast<size_t>(prompt.size()), stderr);
    (void)std::fflush(stderr);
    QByteArray answer;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        answer.append(static_cast<char>(c));
    const QByteArray word = answer.trimmed().toLower();
    return word == "y" || word == "yes";
}

QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code == '\n')
            shown += QLatin1String("\\n");
        else if (code == '\t')
            shown += QLatin1String("\\t");
        else if (code == '\\')
            shown += QLatin1String("\\\\");
        else if (code < 0x20 || code == 0x7f || (code >= 0x80 && code < 0xa0))
            shown += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else if (isBidirectionalControl(code))
            shown += QStringLiteral("\\u%1").arg(code, 4, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

QStringList alignedRows(const QList<QStringList> &rows, int width)
{
    int columnCount = 0;
    for (const QStringList &row : rows)
        columnCount = std::max(columnCount, static_cast<int>(row.size()));
    QVector<int> columnWidths(columnCount, 0);
    const int widest = std::max(1, width / 2);
    for (const QStringList &row : rows) {
        for (int i = 0; i + 1 < row.size(); ++i)
            columnWidths[i] = std::min(widest, std::max(columnWidths[i], displayWidth(row.at(i))));
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            line += row.at(i);
            if (i + 1 < row.size()) {
                const int padding = std::max(0, columnWidths[i] - displayWidth(row.at(i)));
                line += QString(padding + 2, QLatin1Char(' '));
            }
        }
        lines.append(line);
    }
    return lines;
}

QString countOf(int count, const QString &singular, const QString &plural)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? singular : plural);
}
