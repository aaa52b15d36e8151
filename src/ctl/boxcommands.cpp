// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxscope.h"
#include "commands.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

// The daemon only sends SIGKILL; the processes end a moment later. A file
// still listed that long after the kill is really still held.
constexpr std::chrono::milliseconds kReleaseWait{2000};
constexpr std::chrono::milliseconds kReleasePoll{100};

// The box a files or close command is about.
struct BoxChoice
{
    QString path;    // as sent to the daemon
    Outcome problem; // a failure when no path can be sent
};

BoxChoice ownBox(const CallerAccount &account)
{
    BoxChoice choice;
    if (!account.known) {
        choice.problem = Outcome::failure(
            QStringLiteral("uid %1 has no entry in the password database, so it has no box; name one")
                .arg(account.uid));
        return choice;
    }
    const QString resolved = QFileInfo(account.boxRoot()).canonicalFilePath();
    choice.path = resolved.isEmpty() ? account.boxRoot() : resolved;
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
    return choice;
}

// The box named by the operands (at most one), or the caller's own box root
// when there is none.
//
// A named box is sent as written, only made absolute against the working
// directory: the daemon resolves it as the caller's own file system sees it.
// The caller's own box root is sent resolved when it exists.
BoxChoice chooseBox(const QStringList &operands, const CallerAccount &account)
{
    return operands.isEmpty() ? ownBox(account) : namedBox(operands.first());
}

// Why the daemon answered -1 for a box path (never empty: the client checks
// that before calling). The daemon says only -1; its rules, which this
// client shares, tell two refusals apart: a box outside the caller's own and
// a path made only of slashes. Any other -1 has one of several causes that
// only the daemon's log tells apart, so the line names them and the log.
QString explainScanFailure(const QString &boxPath, const CallerAccount &account)
{
    if (!account.isSuperuser() && !account.known) {
        return QStringLiteral("refused: uid %1 has no entry in the password database, so it has no box")
            .arg(account.uid);
    }
    const ServedBoxPath served = servedBoxPathOf(account, boxPath);
    if (served.verdict == ServedBoxPath::Unsafe) {
        return QStringLiteral(
                   "refused: the way to %1 leads to %2, which is neither root's nor owned by whoever "
                   "owns the link or directory that led there")
            .arg(printable(boxPath), printable(QString::fromUtf8(served.refusedAt)));
    }
    if (served.verdict != ServedBoxPath::Served) {
        return QStringLiteral("refused: %1 is not inside your box %2")
            .arg(printable(boxPath), printable(account.boxRoot()));
    }
    if (withoutTrailingSlashes(boxPath).isEmpty())
        return QStringLiteral("refused: / is not a box (it would match every open file)");
    return QStringLiteral("arkvaned failed on %1 and says only -1 (an unreadable /proc, 16 of your calls "
                          "already waiting, no answer within 20 s, a listing too large for one reply, or a "
                          "holder it could not judge or end); see journalctl -u arkvane")
        .arg(printable(boxPath));
}

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
    printLine(
        QStringLiteral("%1 held open in %2.")
            .arg(countOf(files.size(), QStringLiteral("file"), QStringLiteral("files")), printable(boxPath)));
}

// The box's listing, or the outcome that ends the command.
Outcome listBox(const DaemonLink &daemon, const BoxChoice &box, const CallerAccount &account,
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
Outcome listAfterKill(const DaemonLink &daemon, const BoxChoice &box, const CallerAccount &account,
                      CBoxFileList &files)
{
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        Outcome listed = listBox(daemon, box, account, files);
        if (!listed.succeeded() || files.isEmpty()
            || std::chrono::milliseconds(waited.elapsed()) >= kReleaseWait) {
            return listed;
        }
        std::this_thread::sleep_for(kReleasePoll);
    }
}

// The held files' mode and path, "r:docs/a", in fields or one after another.
QStringList heldFilesOf(const BoxHolderItem &holder)
{
    QStringList files;
    for (const BoxHeldFile &file : holder.files)
        files.append(printable(file.strMode) + QLatin1Char(':') + printable(file.strRelativePath));
    return files;
}

void printHoldersAsJson(const CBoxHolderList &holders)
{
    QJsonArray array;
    for (const BoxHolderItem &holder : holders) {
        QJsonArray files;
        for (const BoxHeldFile &file : holder.files) {
            files.append(QJsonObject{{QStringLiteral("path"), file.strRelativePath},
                                     {QStringLiteral("mode"), file.strMode}});
        }
        // JSON numbers are doubles: a start time is exact for 104 days after
        // boot, and within a microsecond for decades.
        array.append(QJsonObject{{QStringLiteral("pid"), holder.nPid},
                                 {QStringLiteral("startTime"), static_cast<double>(holder.nStartTime)},
                                 {QStringLiteral("uid"), static_cast<double>(holder.nUid)},
                                 {QStringLiteral("name"), holder.strName},
                                 {QStringLiteral("executable"), holder.strExecutable},
                                 {QStringLiteral("files"), files}});
    }
    printJson(QJsonDocument(array));
}

// One line per holder, its fields and then each file's a field of its own,
// tab-separated: pid, uid, name, executable, mode:path...
void printHoldersAsLines(const CBoxHolderList &holders)
{
    for (const BoxHolderItem &holder : holders) {
        const QStringList fields{QString::number(holder.nPid), QString::number(holder.nUid),
                                 printable(holder.strName), printable(holder.strExecutable)};
        printLine((fields + heldFilesOf(holder)).join(QLatin1Char('\t')));
    }
}

void printHoldersAsTable(const CBoxHolderList &holders, const QString &boxPath)
{
    if (holders.isEmpty()) {
        printLine(QStringLiteral("No process holds a file open in %1.").arg(printable(boxPath)));
        return;
    }
    QList<QStringList> rows;
    rows.append(
        {QStringLiteral("PID"), QStringLiteral("USER"), QStringLiteral("NAME"), QStringLiteral("FILES")});
    for (const BoxHolderItem &holder : holders) {
        const CallerAccount owner = accountOfUid(holder.nUid);
        rows.append({QString::number(holder.nPid),
                     owner.known ? printable(owner.userName) : QString::number(holder.nUid),
                     printable(holder.strName), heldFilesOf(holder).join(QStringLiteral(" "))});
    }
    for (const QString &line : alignedRows(rows, terminalColumns()))
        printLine(line);
    printLine(QString());
    printLine(QStringLiteral("%1 %2 files open in %3.")
                  .arg(countOf(holders.size(), QStringLiteral("process"), QStringLiteral("processes")),
                       holders.size() == 1 ? QStringLiteral("holds") : QStringLiteral("hold"),
                       printable(boxPath)));
}

QString heldBefore(int count)
{
    if (count == 0)
        return QStringLiteral("no file was held open");
    return QStringLiteral("%1 held open")
        .arg(count == 1 ? QStringLiteral("1 file was") : QStringLiteral("%1 files were").arg(count));
}

QString heldAfter(int count)
{
    if (count == 0)
        return QStringLiteral("none is held now");
    return count == 1 ? QStringLiteral("1 file is still held")
                      : QStringLiteral("%1 files are still held").arg(count);
}

} // namespace

ExitStatus runFiles(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account)
{
    const BoxChoice box = chooseBox(invocation.operands, account);
    if (!box.problem.succeeded())
        return endWith(box.problem);

    CBoxFileList files;
    const Outcome listed = listBox(daemon, box, account, files);
    if (!listed.succeeded())
        return endWith(listed);

    if (invocation.has(OptJson))
        printAsJson(files);
    else if (standardOutputIsTerminal())
        printAsTable(files, invocation.has(OptFull), box.path);
    else
        printAsLines(files, invocation.has(OptFull));
    return ExitStatus::Success;
}

ExitStatus runClose(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account)
{
    const BoxChoice box = chooseBox(invocation.operands, account);
    if (!box.problem.succeeded())
        return endWith(box.problem);

    CBoxFileList before;
    const Outcome listed = listBox(daemon, box, account, before);
    if (!listed.succeeded())
        return endWith(listed);

    if (!invocation.has(OptYes) && standardInputIsTerminal()) {
        const QString held = countOf(before.size(), QStringLiteral("file"), QStringLiteral("files"));
        const QString question = QStringLiteral("%1 held open in %2. End every process holding files there?")
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

ExitStatus runWho(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account)
{
    const BoxChoice box = chooseBox(invocation.operands, account);
    if (!box.problem.succeeded())
        return endWith(box.problem);

    const Answer<HolderListing> listing = daemon.listHolders(box.path);
    if (!listing.answered())
        return endWith(listing.failure);
    if (listing.value.result != 0)
        return endWith(Outcome::failure(explainScanFailure(box.path, account)));

    if (invocation.has(OptJson))
        printHoldersAsJson(listing.value.holders);
    else if (standardOutputIsTerminal())
        printHoldersAsTable(listing.value.holders, box.path);
    else
        printHoldersAsLines(listing.value.holders);
    return ExitStatus::Success;
}

ExitStatus runWait(const Invocation &invocation, const DaemonLink &daemon, const CallerAccount &account)
{
    const BoxChoice box = chooseBox(invocation.operands, account);
    if (!box.problem.succeeded())
        return endWith(box.problem);

    WatchInbox inbox;
    const Answer<int> watch = daemon.watchBox(box.path, inbox);
    if (!watch.answered())
        return endWith(watch.failure);
    if (watch.value == -1)
        return endWith(Outcome::failure(explainScanFailure(box.path, account)));
    if (watch.value < 0)
        return endWith(Outcome::failure(
            QStringLiteral("cannot watch %1: %2")
                .arg(printable(box.path), QString::fromLocal8Bit(std::strerror(-watch.value)))));

    const bool live = standardOutputIsTerminal();
    QEventLoop loop;
    // Signals that came before the id did are read with the rest.
    const auto readEvents = [&] {
        for (const WatchInbox::Event &event : inbox.events) {
            if (event.watchId != watch.value)
                continue;
            if (event.freed) {
                loop.exit(static_cast<int>(ExitStatus::Success));
                return;
            }
            if (live)
                (void)std::fprintf(stdout, "\r%s held in %s ",
                                   qUtf8Printable(countOf(event.holders, QStringLiteral("process"),
                                                          QStringLiteral("processes"))),
                                   qUtf8Printable(printable(box.path)));
            (void)std::fflush(stdout);
        }
        inbox.events.clear();
    };
    QObject::connect(&inbox, &WatchInbox::arrived, &loop, readEvents, Qt::QueuedConnection);
    QObject::connect(&inbox, &WatchInbox::daemonLeft, &loop,
                     [&loop] { loop.exit(static_cast<int>(ExitStatus::Unreachable)); });
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop,
                     [&loop] { loop.exit(static_cast<int>(ExitStatus::TimedOut)); });
    if (invocation.timeoutSeconds >= 0)
        timeout.start(std::chrono::seconds(invocation.timeoutSeconds));
    QTimer::singleShot(0, &loop, readEvents);
    const auto status = static_cast<ExitStatus>(loop.exec());
    if (live)
        printLine(QString());
    switch (status) {
    case ExitStatus::TimedOut:
        complain(QStringLiteral("%1 still held after %2 s")
                     .arg(printable(box.path))
                     .arg(invocation.timeoutSeconds));
        return status;
    case ExitStatus::Unreachable:
        return endWith(Outcome::unreachable(QStringLiteral("arkvaned left the system bus")));
    default:
        return status;
    }
}
