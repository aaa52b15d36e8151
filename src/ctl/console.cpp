#include "console.h"

#include <QJsonDocument>

#include <cstdio>

namespace {

void writeLine(std::FILE *stream, const QString &text)
{
    const QByteArray bytes = text.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
    std::fflush(stream);
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
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
    std::fflush(stdout);
}
