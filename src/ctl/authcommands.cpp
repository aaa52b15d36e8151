// SPDX-License-Identifier: GPL-2.0-or-later
#include "commands.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace {

struct UserChoice
{
    QString user;
    Outcome problem;
};

// The user an auth command is about: the operand, else the caller's own name.
UserChoice chooseUser(const Invocation &invocation, const CallerAccount &account)
{
    if (!invocation.operands.isEmpty())
        return {invocation.operands.first(), Outcome::success()};
    if (!account.known) {
        return {QString(), Outcome::failure(QStringLiteral("uid %1 has no entry in the password database; "
                                                           "name the user")
                                                .arg(account.uid))};
    }
    return {account.userName, Outcome::success()};
}

QString notOwnEntry(const CallerAccount &account, const QString &user, const QString &what)
{
    const QString caller =
        account.known ? printable(account.userName) : QStringLiteral("uid %1").arg(account.uid);
    return QStringLiteral("refused: you (%1) may %2 only for yourself, not for %3; nothing changed")
        .arg(caller, what, printable(user));
}

QString yesNo(bool value)
{
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

} // namespace

ExitStatus runAuthStatus(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account)
{
    const UserChoice choice = chooseUser(invocation, account);
    if (!choice.problem.succeeded())
        return endWith(choice.problem);
    const QString &user = choice.user;

    const Answer<bool> required = daemon.isCertificationRequired(user);
    if (!required.answered())
        return endWith(required.failure);
    const Answer<int> interval = daemon.certificationInterval(user);
    if (!interval.answered())
        return endWith(interval.failure);

    if (invocation.has(OptJson)) {
        printJson(QJsonDocument(QJsonObject{{QStringLiteral("user"), user},
                                            {QStringLiteral("required"), required.value},
                                            {QStringLiteral("interval"), interval.value}}));
    } else if (standardOutputIsTerminal()) {
        const QList<QStringList> rows{
            {QStringLiteral("User"), printable(user)},
            {QStringLiteral("Must authenticate"), yesNo(required.value)},
            {QStringLiteral("Interval"), QStringLiteral("%1 seconds").arg(interval.value)},
        };
        for (const QString &line : alignedRows(rows, terminalColumns()))
            printLine(line);
    } else {
        printLine(QStringLiteral("user=") + printable(user));
        printLine(QStringLiteral("required=") + yesNo(required.value));
        printLine(QStringLiteral("interval=%1").arg(interval.value));
    }
    return ExitStatus::Success;
}

ExitStatus runAuthPassed(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account)
{
    const UserChoice choice = chooseUser(invocation, account);
    if (!choice.problem.succeeded())
        return endWith(choice.problem);
    const QString &user = choice.user;

    // Called even when it will be refused: the daemon decides, and it
    // records the attempt in the system log. Its reply is empty either way,
    // so the refusal is told from its rule.
    const Outcome recorded = daemon.recordCertificationPassed(user);
    if (!recorded.succeeded())
        return endWith(recorded);
    if (!mayChangeCertificationOf(account, user))
        return endWith(Outcome::failure(notOwnEntry(account, user, QStringLiteral("record a pass"))));
    printLine(QStringLiteral("%1: authentication recorded as passed.").arg(printable(user)));
    return ExitStatus::Success;
}

ExitStatus runAuthInterval(const Invocation &invocation, const DaemonLink &daemon,
                           const CallerAccount &account)
{
    const UserChoice choice = chooseUser(invocation, account);
    if (!choice.problem.succeeded())
        return endWith(choice.problem);
    const QString &user = choice.user;

    const Answer<int> set = daemon.setCertificationInterval(user, invocation.seconds);
    if (!set.answered())
        return endWith(set.failure);
    if (set.value != 0) {
        if (!mayChangeCertificationOf(account, user))
            return endWith(Outcome::failure(notOwnEntry(account, user, QStringLiteral("set the interval"))));
        return endWith(Outcome::failure(
            QStringLiteral("arkvaned refused to set the interval of %1").arg(printable(user))));
    }
    QString line =
        QStringLiteral("%1: a pass now holds for %2 seconds").arg(printable(user)).arg(invocation.seconds);
    if (invocation.seconds <= 0)
        line += QStringLiteral(" (0 or less: every pass ends within a second)");
    printLine(line + QLatin1Char('.'));
    return ExitStatus::Success;
}
