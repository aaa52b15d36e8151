#include "boxargument.h"
#include "commands.h"
#include "console.h"
#include "displaytext.h"
#include "scanrefusal.h"
#include "terminal.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

void printAsJson(const CBoxFileList &files)
{
    QJsonArray array;
    for (const BoxFileItem &item : files) {
        array.append(QJsonObject{{QStringLiteral("path"), item.strFilePath},
                                 {QStringLiteral("relative"), item.strRelativePath}});
    }
    printJson(QJsonDocument(array));
}

void printAsLines(const CBoxFileList &files, bool full)
{
    for (const BoxFileItem &item : files)
        printLine(printable(full ? item.strFilePath : item.strRelativePath));
}

void printAsTable(const CBoxFileList &files, bool full, const QString &boxPath)
{
    if (files.isEmpty()) {
        printLine(QStringLiteral("No file is held open in %1.").arg(printable(boxPath)));
        return;
    }
    QList<QStringList> rows;
    rows.append(full ? QStringList{QStringLiteral("PATH IN BOX"), QStringLiteral("FULL PATH")}
                     : QStringList{QStringLiteral("PATH IN BOX")});
    for (const BoxFileItem &item : files) {
        rows.append(full ? QStringList{printable(item.strRelativePath), printable(item.strFilePath)}
                         : QStringList{printable(item.strRelativePath)});
    }
    for (const QString &line : alignedRows(rows, terminalColumns()))
        printLine(line);
    printLine(QString());
    printLine(QStringLiteral("%1 held open in %2.")
                  .arg(countOf(files.size(), QStringLiteral("file"), QStringLiteral("files")),
                       printable(boxPath)));
}

} // namespace

ExitStatus runFiles(const Invocation &invocation, const DaemonLink &daemon, const OwnAccount &account)
{
    const BoxChoice box = chooseBox(invocation.operands, account);
    if (!box.problem.succeeded())
        return endWith(box.problem);
    if (!box.warning.isEmpty())
        complain(box.warning);

    const Answer<FileListing> listing = daemon.listOpenFiles(box.path);
    if (!listing.answered())
        return endWith(listing.failure);
    if (listing.value.result != 0)
        return endWith(Outcome::failure(explainScanFailure(box.path, account)));

    if (invocation.json)
        printAsJson(listing.value.files);
    else if (standardOutputIsTerminal())
        printAsTable(listing.value.files, invocation.full, box.path);
    else
        printAsLines(listing.value.files, invocation.full);
    return ExitStatus::Success;
}
