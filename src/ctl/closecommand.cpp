#include "boxargument.h"
#include "commands.h"
#include "console.h"
#include "displaytext.h"
#include "scanrefusal.h"
#include "terminal.h"

#include <QElapsedTimer>

#include <chrono>
#include <thread>

namespace {

// The daemon only sends SIGKILL; the processes end a moment later. A file
// still listed that long after the kill is really still held.
constexpr std::chrono::milliseconds kReleaseWait{2000};
constexpr std::chrono::milliseconds kReleasePoll{100};

// The box's listing, or the outcome that ends the command.
Outcome listBox(const DaemonLink &daemon, const BoxChoice &box, const OwnAccount &account,
                CBoxFileList &files)
{
    const Answer<FileListing> listing = daemon.listOpenFiles(box.path);
    if (!listing.answered())
        return listing.failure;
    if (listing.value.result != 0)
        return Outcome::failure(explainScanFailure(box.path, account));
    files = listing.value.files;
    return Outcome::success();
}

// Lists the box until nothing is held or the wait is over.
Outcome listAfterKill(const DaemonLink &daemon, const BoxChoice &box, const OwnAccount &account,
                      CBoxFileList &files)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        const Outcome listed = listBox(daemon, box, account, files);
        if (!listed.succeeded() || files.isEmpty()
            || std::chrono::milliseconds(waited.elapsed()) >= kReleaseWait) {
            return listed;
        }
        std::this_thread::sleep_for(kReleasePoll);
    }
}

QString heldBefore(int count)
{
    if (count == 0)
        return QStringLiteral("no file was held open");
    return QStringLiteral("%1 held open").arg(count == 1 ? QStringLiteral("1 file was")
                                                         : QStringLiteral("%1 files were").arg(count));
}

QString heldAfter(int count)
{
    if (count == 0)
        return QStringLiteral("none is held now");
    return count == 1 ? QStringLiteral("1 file is still held")
                      : QStringLiteral("%1 files are still held").arg(count);
}

} // namespace

ExitStatus runClose(const Invocation &invocation, const DaemonLink &daemon, const OwnAccount &account)
{
    const BoxChoice box = chooseBox(invocation.operands, account);
    if (!box.problem.succeeded())
        return endWith(box.problem);
    if (!box.warning.isEmpty())
        complain(box.warning);

    CBoxFileList before;
    const Outcome listed = listBox(daemon, box, account, before);
    if (!listed.succeeded())
        return endWith(listed);

    if (!invocation.yes && standardInputIsTerminal()) {
        const QString held = countOf(before.size(), QStringLiteral("file"), QStringLiteral("files"));
        const QString question =
            QStringLiteral("%1 held open in %2. End every process holding files there?")
                .arg(held, printable(box.path));
        if (!confirmed(question))
            return endWith(Outcome::failure(QStringLiteral("cancelled: no process was ended")));
    }

    const Answer<int> ended = daemon.endProcesses(box.path);
    if (!ended.answered())
        return endWith(ended.failure);
    if (ended.value != 0)
        return endWith(Outcome::failure(explainScanFailure(box.path, account)));

    CBoxFileList after;
    const Outcome relisted = listAfterKill(daemon, box, account, after);
    if (!relisted.succeeded())
        return endWith(relisted);

    printLine(QStringLiteral("%1: %2; %3.")
                  .arg(printable(box.path), heldBefore(before.size()), heldAfter(after.size())));
    for (const BoxFileItem &item : after)
        printLine(QStringLiteral("  ") + printable(item.strRelativePath));
    return ExitStatus::Success;
}
