#pragma once

#include "exitstatus.h"

#include <QString>

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
