// SPDX-License-Identifier: GPL-2.0-or-later
// A bus client for the end-to-end tests (typed replies, odd client behaviour);
// the sandbox also installs it as the backup tool. Prints one JSON object.
//
//   arkvane-testclient [--hold FILE]... [--no-reply|--announce] COMMAND [ARG...]
//
//   files PATH | kill PATH | backup-list | backup-format-all | backup-format USER
//   own NAME        claims NAME, says "owned", holds it until stdin closes
//   stall           says its unique name, then stops itself: it never reads
//   park DEST FILE  queues at DEST signals that carry a descriptor of FILE
//
// --hold keeps FILE open during the call; --no-reply sends and leaves the bus
// before the daemon can look at the caller; --announce says "sent" once the
// bus has the call.

#include "wiretypes.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingReply>
#include <QDBusUnixFileDescriptor>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const QString kService = QStringLiteral("com.tavrin.arkvane");

void print(const QJsonObject &object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int usage()
{
    std::fputs("usage: arkvane-testclient [--hold FILE]... [--no-reply|--announce] COMMAND [ARG...]\n",
               stderr);
    return 2;
}

void roundTrip(QDBusConnection &bus) // what was sent before has left
{
    bus.interface()->call(QStringLiteral("GetId"));
}

int own(const QString &name)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(name)) {
        print({{QStringLiteral("owned"), false}});
        return 1;
    }
    print({{QStringLiteral("owned"), true}});
    // Answers the bus (with its standard errors) until stdin closes.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char c;
        input.setEnabled(read(STDIN_FILENO, &c, 1) > 0);
        if (!input.isEnabled())
            QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerWireTypes();

    QStringList args = app.arguments().mid(1);
    bool noReply = false;
    bool announce = false;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--hold") && !args.isEmpty()) {
            if (!(new QFile(args.takeFirst(), &app))->open(QIODevice::ReadOnly))
                return 2;
        } else if (option == QLatin1String("--no-reply") || option == QLatin1String("--announce")) {
            (option == QLatin1String("--no-reply") ? noReply : announce) = true;
        } else {
            return usage();
        }
    }
    if (args.isEmpty())
        return usage();
    const QString command = args.takeFirst();
    if (command == QLatin1String("own") && args.size() == 1)
        return own(args.first());

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return 3;

    if (command == QLatin1String("stall") && args.isEmpty()) {
        print({{QStringLiteral("name"), bus.baseService()}});
        raise(SIGSTOP);
        return 0;
    }
    if (command == QLatin1String("park") && args.size() == 2) {
        // Enough bytes to fill the socket of a receiver that never reads, so
        // that the bus daemon keeps the later messages, descriptors and all.
        QFile file(args.at(1));
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        const QByteArray filler(256 * 1024, 'x');
        for (int i = 0; i < 8; ++i) {
            QDBusMessage signal = QDBusMessage::createTargetedSignal(args.at(0), QStringLiteral("/park"),
                                                                     QStringLiteral("com.tavrin.test"),
                                                                     QStringLiteral("Parked"));
            signal << QVariant::fromValue(QDBusUnixFileDescriptor(file.handle())) << filler;
            bus.send(signal);
        }
        roundTrip(bus);
        print({{QStringLiteral("parked"), true}});
        return 0;
    }

    static const struct
    {
        const char *command, *method;
        bool backup;
        int argc;
    } kMethods[] = {{"files", "get_allRunFileList", false, 1},
                    {"kill", "kill_allProcessSignal", false, 1},
                    {"backup-list", "get_allBoxRootEntries", true, 0},
                    {"backup-format-all", "format_allBoxRootEntries", true, 0},
                    {"backup-format", "format_boxRootEntries", true, 1}};
    QString method;
    bool backup = false;
    for (const auto &m : kMethods) {
        if (command == QLatin1String(m.command) && args.size() == m.argc)
            method = QLatin1String(m.method), backup = m.backup;
    }
    if (method.isEmpty())
        return usage();
    QDBusMessage call = QDBusMessage::createMethodCall(
        kService, backup ? QStringLiteral("/backup") : QStringLiteral("/logfile"),
        backup ? kService + QStringLiteral(".backup") : kService, method);
    for (const QString &arg : args)
        call << arg;
    if (noReply) {
        call.setAutoStartService(false);
        bus.send(call);
        roundTrip(bus);
        return 0;
    }

    QDBusPendingCall pending = bus.asyncCall(call, 600000);
    if (announce) {
        roundTrip(bus);
        print({{QStringLiteral("sent"), true}});
    }
    pending.waitForFinished();
    const QDBusMessage reply = pending.reply();
    if (reply.type() != QDBusMessage::ReplyMessage) {
        print({{QStringLiteral("error"), reply.errorName()}});
        return 1;
    }
    QJsonObject out{{QStringLiteral("signature"), reply.signature()}};
    if (method == QLatin1String("get_allRunFileList")) {
        QDBusPendingReply<int, CBoxFileList> typed(reply);
        QJsonArray items;
        for (const BoxFileItem &item : typed.argumentAt<1>())
            items.append(QJsonObject{{QStringLiteral("file"), item.strFilePath},
                                     {QStringLiteral("relative"), item.strRelativePath}});
        out.insert(QStringLiteral("result"), typed.argumentAt<0>());
        out.insert(QStringLiteral("list"), items);
    } else if (method == QLatin1String("get_allBoxRootEntries")) {
        out.insert(QStringLiteral("list"),
                   QJsonArray::fromStringList(reply.arguments().value(0).toStringList()));
    } else {
        out.insert(QStringLiteral("result"), reply.arguments().value(0).toInt());
    }
    print(out);
    return 0;
}
