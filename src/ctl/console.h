#pragma once

#include "outcome.h"

#include <QString>

class QJsonDocument;

// Writes text and a line feed to standard output, in UTF-8.
void printLine(const QString &text);

// Writes a JSON document to standard output.
void printJson(const QJsonDocument &document);

// Writes "arkvanectl: message" as one line to standard error.
void complain(const QString &message);

// Says why outcome failed, in one line on standard error, and gives its
// exit status.
ExitStatus endWith(const Outcome &outcome);
