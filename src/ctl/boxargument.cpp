#include "boxargument.h"

#include <QDir>
#include <QFileInfo>

namespace {

BoxChoice ownBox(const OwnAccount &account)
{
    BoxChoice choice;
    if (!account.known) {
        choice.problem = Outcome::failure(
            QStringLiteral("uid %1 has no entry in the password database, so it has no box; name one")
                .arg(account.uid));
        return choice;
    }
    const QString resolved = QFileInfo(account.boxRoot).canonicalFilePath();
    choice.path = resolved.isEmpty() ? account.boxRoot : resolved;
    return choice;
}

BoxChoice namedBox(const QString &operand)
{
    BoxChoice choice;
    if (operand.isEmpty()) {
        choice.problem = Outcome::failure(QStringLiteral("the box path is empty"));
        return choice;
    }
    if (operand.startsWith(QLatin1Char('/'))) {
        choice.path = operand;
    } else {
        const QString workingDirectory = QDir::currentPath();
        if (workingDirectory.isEmpty()) {
            choice.problem = Outcome::failure(
                QStringLiteral("cannot tell the working directory; name the box by its absolute path"));
            return choice;
        }
        const bool atRoot = workingDirectory.endsWith(QLatin1Char('/'));
        choice.path = workingDirectory + (atRoot ? QString() : QStringLiteral("/")) + operand;
    }
    const QString resolved = QFileInfo(choice.path).canonicalFilePath();
    const QString written = withoutTrailingSlashes(choice.path);
    if (!resolved.isEmpty() && resolved != written) {
        choice.warning = QStringLiteral("warning: %1 resolves to %2; the daemon compares paths as written, "
                                        "so name the box as %2 to reach the files in it")
                             .arg(written, resolved);
    }
    return choice;
}

} // namespace

BoxChoice chooseBox(const QStringList &operands, const OwnAccount &account)
{
    return operands.isEmpty() ? ownBox(account) : namedBox(operands.first());
}
