#include "terminal.h"

#include <QByteArray>

#include <cstdio>
#include <cstdlib>
#include <sys/ioctl.h>
#include <unistd.h>

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
    struct winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    bool ok = false;
    const int columns = qEnvironmentVariableIntValue("COLUMNS", &ok);
    return ok && columns > 0 ? columns : 80;
}

bool confirmed(const QString &question)
{
    const QByteArray prompt = question.toUtf8() + " [y/N] ";
    std::fwrite(prompt.constData(), 1, static_cast<size_t>(prompt.size()), stderr);
    std::fflush(stderr);
    QByteArray answer;
    for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar())
        answer.append(static_cast<char>(c));
    const QByteArray word = answer.trimmed().toLower();
    return word == "y" || word == "yes";
}
