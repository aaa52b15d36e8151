// SPDX-License-Identifier: GPL-2.0-or-later
// The benchmark's bus client: times the daemon's answers from the call to the
// reply, as a Qt client of the daemon sees them.
//
//   arkvane-bench-client files BOX [--dump FILE]   get_allRunFileList
//   arkvane-bench-client kill BOX                  kill_allProcessSignal
//   arkvane-bench-client wipe USER                 format_boxRootEntries (as the backup tool)
//   arkvane-bench-client ping                      a round trip to the daemon that does no work
//   arkvane-bench-client certify COUNT PREFIX      set_certificationInterval for COUNT names
//   arkvane-bench-client latency COUNT USER        COUNT get_certificationInterval calls, one at a
//                                                  time: median, 99th percentile and slowest
//   arkvane-bench-client list-loop BOX             get_allRunFileList back to back, until killed
//   arkvane-bench-client flood BOX COUNT           COUNT listings sent at once, again and again
//
// Each prints one JSON line. Before a timed call the client pings the daemon
// once, so that the connection's first-use costs fall outside the time.
// "ms" runs from just before the call is sent to the reply in hand;
// "client_cpu_ms" is this client's processor time over the same span;
// "decode_ms" is the further time to read the list as CBoxFileList. certify
// keeps many calls in flight at once and times them all together.

#include "wiretypes.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>
#include <vector>

namespace {

const QString kService = QStringLiteral("com.tavrin.arkvane");
const QString kPath = QStringLiteral("/logfile");
const QString kInterface = QStringLiteral("com.tavrin.arkvane");
constexpr int kCallTimeoutMs = 600000;
// Calls in flight at once while making certification entries: enough to keep
// the daemon busy, and half the system bus's default limit of 128 pending
// replies per connection.
constexpr int kCertifyWindow = 64;

double millisecondsOf(const QElapsedTimer &timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// Processor time of this client, every thread (the bus library reads replies
// on a thread of its own).
double processorMilliseconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

void printLine(const QByteArray &json)
{
    std::fputs(json.constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

QByteArray errorJson(const QDBusMessage &reply)
{
    return "{\"error\": \"" + reply.errorName().toUtf8() + "\"}";
}

QDBusMessage daemonCall(const QString &method, const QVariantList &arguments, const QString &path = kPath,
                        const QString &interface = kInterface)
{
    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, interface, method);
    call.setArguments(arguments);
    return call;
}

bool ping(const QDBusConnection &bus)
{
    const QDBusMessage call = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Peer"), QStringLiteral("Ping"));
    return bus.call(call, QDBus::Block, kCallTimeoutMs).type() == QDBusMessage::ReplyMessage;
}

int timePing(const QDBusConnection &bus)
{
    ping(bus);
    QElapsedTimer timer;
    timer.start();
    const bool answered = ping(bus);
    const double ms = millisecondsOf(timer);
    if (!answered)
        return 1;
    printLine(QByteArray("{\"ms\": ") + QByteArray::number(ms, 'f', 3) + "}");
    return 0;
}

// One daemon call after a ping (so the connection is warm), timed from call
// to reply, with the client's own processor time; an error reply is printed.
struct TimedReply
{
    QDBusMessage reply;
    double ms = 0;
    double cpuMs = 0;
    bool ok() const { return reply.type() == QDBusMessage::ReplyMessage; }
};

TimedReply timedCall(const QDBusConnection &bus, const QString &method, const QString &argument,
                     const QString &path = kPath, const QString &interface = kInterface)
{
    ping(bus);
    const QDBusMessage call = daemonCall(method, {argument}, path, interface);
    TimedReply timed;
    const double cpuStart = processorMilliseconds();
    QElapsedTimer timer;
    timer.start();
    timed.reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    timed.ms = millisecondsOf(timer);
    timed.cpuMs = processorMilliseconds() - cpuStart;
    if (!timed.ok())
        printLine(errorJson(timed.reply));
    return timed;
}

int timeFiles(const QDBusConnection &bus, const QString &box, const QString &dumpPath)
{
    const TimedReply timed = timedCall(bus, QStringLiteral("get_allRunFileList"), box);
    if (!timed.ok())
        return 1;
    QElapsedTimer timer;
    timer.start();
    const QDBusPendingReply<int, CBoxFileList> typed(timed.reply);
    const CBoxFileList list = typed.argumentAt<1>();
    const double decodeMs = millisecondsOf(timer);

    if (!dumpPath.isEmpty()) {
        QFile dump(dumpPath);
        if (!dump.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 1;
        QTextStream out(&dump);
        out.setCodec("UTF-8");
        for (const BoxFileItem &item : list)
            out << item.strFilePath << '\t' << item.strRelativePath << '\n';
    }
    printLine(QByteArray("{\"ms\": ") + QByteArray::number(timed.ms, 'f', 3)
              + ", \"client_cpu_ms\": " + QByteArray::number(timed.cpuMs, 'f', 3)
              + ", \"decode_ms\": " + QByteArray::number(decodeMs, 'f', 3)
              + ", \"result\": " + QByteArray::number(typed.argumentAt<0>())
              + ", \"files\": " + QByteArray::number(list.size()) + "}");
    return 0;
}

// A call whose reply is one int: the kill, or the wipe of one user's box root.
int timeResult(const TimedReply &timed)
{
    if (!timed.ok())
        return 1;
    printLine(QByteArray("{\"ms\": ") + QByteArray::number(timed.ms, 'f', 3)
              + ", \"client_cpu_ms\": " + QByteArray::number(timed.cpuMs, 'f', 3)
              + ", \"result\": " + QByteArray::number(timed.reply.arguments().value(0).toInt()) + "}");
    return 0;
}

int certify(const QDBusConnection &bus, int count, const QString &prefix)
{
    ping(bus);
    QElapsedTimer timer;
    timer.start();
    int refused = 0;
    int failed = 0;
    QString firstError;
    QList<QDBusPendingCall> inFlight;
    auto settleFirst = [&] {
        QDBusPendingReply<int> reply = inFlight.takeFirst();
        reply.waitForFinished();
        if (reply.isError()) {
            if (!failed++)
                firstError = reply.error().name();
        } else if (reply.value() != 0)
            ++refused;
    };
    for (int i = 0; i < count; ++i) {
        if (inFlight.size() >= kCertifyWindow)
            settleFirst();
        const QString name = prefix + QString::number(i);
        inFlight.append(bus.asyncCall(daemonCall(QStringLiteral("set_certificationInterval"), {name, 600}),
                                      kCallTimeoutMs));
    }
    while (!inFlight.isEmpty())
        settleFirst();
    const double ms = millisecondsOf(timer);
    printLine(QByteArray("{\"ms\": ") + QByteArray::number(ms, 'f', 3) + ", \"names\": "
              + QByteArray::number(count) + ", \"refused\": " + QByteArray::number(refused) + ", \"failed\": "
              + QByteArray::number(failed) + ", \"first_error\": \"" + firstError.toUtf8() + "\"}");
    return failed || refused ? 1 : 0;
}

// The latency of a cheap call as one user sees it while others load the daemon.
// A call that fails (a time-out under load) counts as the time it took.
int latency(const QDBusConnection &bus, int count, const QString &user)
{
    ping(bus);
    std::vector<double> ms;
    ms.reserve(static_cast<std::size_t>(count));
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        QElapsedTimer timer;
        timer.start();
        const QDBusMessage reply =
            bus.call(daemonCall(QStringLiteral("get_certificationInterval"), {user}), QDBus::Block);
        ms.push_back(millisecondsOf(timer));
        if (reply.type() != QDBusMessage::ReplyMessage)
            ++failed;
    }
    std::sort(ms.begin(), ms.end());
    auto at = [&ms](double q) {
        return ms[std::min(ms.size() - 1, static_cast<std::size_t>(q * ms.size()))];
    };
    printLine(QByteArray("{\"calls\": ") + QByteArray::number(count) + ", \"p50_ms\": "
              + QByteArray::number(at(0.5), 'f', 3) + ", \"p99_ms\": " + QByteArray::number(at(0.99), 'f', 3)
              + ", \"max_ms\": " + QByteArray::number(ms.back(), 'f', 3)
              + ", \"failed\": " + QByteArray::number(failed) + "}");
    return 0;
}

int listLoop(const QDBusConnection &bus, const QString &box)
{
    for (;;)
        bus.call(daemonCall(QStringLiteral("get_allRunFileList"), {box}), QDBus::Block, kCallTimeoutMs);
}

// Sends COUNT listings without waiting, and again once all are answered.
int flood(const QDBusConnection &bus, const QString &box, int count)
{
    int waiting = 0;
    std::function<void()> sendAll = [&] {
        waiting = count;
        for (int i = 0; i < count; ++i) {
            auto *watcher = new QDBusPendingCallWatcher(
                bus.asyncCall(daemonCall(QStringLiteral("get_allRunFileList"), {box}), kCallTimeoutMs));
            QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [&](auto *done) {
                done->deleteLater();
                if (--waiting == 0)
                    sendAll();
            });
        }
    };
    sendAll();
    return QCoreApplication::exec();
}

int usage()
{
    std::fputs("usage: arkvane-bench-client files BOX [--dump FILE] | kill BOX | ping"
               " | certify COUNT PREFIX | latency COUNT USER | list-loop BOX"
               " | flood BOX COUNT\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerWireTypes();
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty())
        return usage();

    const QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        printLine("{\"error\": \"no system bus\"}");
        return 3;
    }
    const QString &command = args.first();
    if (command == QLatin1String("files") && (args.size() == 2 || args.size() == 4)) {
        QString dumpPath;
        if (args.size() == 4) {
            if (args.at(2) != QLatin1String("--dump"))
                return usage();
            dumpPath = args.at(3);
        }
        return timeFiles(bus, args.at(1), dumpPath);
    }
    if (command == QLatin1String("kill") && args.size() == 2)
        return timeResult(timedCall(bus, QStringLiteral("kill_allProcessSignal"), args.at(1)));
    if (command == QLatin1String("wipe") && args.size() == 2)
        return timeResult(timedCall(bus, QStringLiteral("format_boxRootEntries"), args.at(1),
                                    QStringLiteral("/backup"), QStringLiteral("com.tavrin.arkvane.backup")));
    if (command == QLatin1String("ping") && args.size() == 1)
        return timePing(bus);
    if (command == QLatin1String("certify") && args.size() == 3) {
        bool ok = false;
        const int count = args.at(1).toInt(&ok);
        if (!ok || count < 0 || count > 1000000)
            return usage();
        return certify(bus, count, args.at(2));
    }
    if (command == QLatin1String("latency") && args.size() == 3 && args.at(1).toInt() > 0)
        return latency(bus, args.at(1).toInt(), args.at(2));
    if (command == QLatin1String("list-loop") && args.size() == 2)
        return listLoop(bus, args.at(1));
    if (command == QLatin1String("flood") && args.size() == 3 && args.at(2).toInt() > 0)
        return flood(bus, args.at(1), args.at(2).toInt());
    return usage();
}
