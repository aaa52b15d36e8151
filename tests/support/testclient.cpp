// A bus client for the end-to-end tests, where typed replies or odd client
// behaviour matter. The sandbox also installs it as the backup tool.
//
//   arkvane-testclient [--hold FILE]... [--no-reply] COMMAND [ARG...]
//
//   files PATH         get_allRunFileList, read as CBoxFileList through the type annotation
//   kill PATH          kill_allProcessSignal
//   backup-list        get_allBoxRootEntries
//   backup-format-all  format_allBoxRootEntries
//   backup-format USER format_boxRootEntries
//   own NAME           claims NAME on the system bus, says "owned", holds it until stdin closes
//   stall              says its unique name, then stops itself: a connection that never reads
//   park DEST FILE     queues at DEST unicast signals that carry a descriptor of FILE
//
// Replies are printed as one JSON object. --hold opens files (read-only) before
// the call and keeps them open; --no-reply sends the call and exits at once,
// leaving the bus before the daemon can look at the caller; --announce prints
// {"sent":true} once the bus has the call, then waits for the reply.

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
    std::fputs("usage: arkvane-testclient [--hold FILE]... [--no-reply] COMMAND [ARG...]\n", stderr);
    return 2;
}

QJsonObject errorObject(const QDBusMessage &reply)
{
    return {{QStringLiteral("error"), reply.errorName()},
            {QStringLiteral("message"), reply.errorMessage()}};
}

int own(const QString &name)
{
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.registerService(name)) {
        print({{QStringLiteral("owned"), false},
               {QStringLiteral("message"), bus.lastError().message()}});
        return 1;
    }
    print({{QStringLiteral("owned"), true}});
    // Keep answering the bus (with its standard errors) until stdin closes.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char c;
        if (read(STDIN_FILENO, &c, 1) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return QCoreApplication::exec();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerWireTypes();

    QStringList args = app.arguments().mid(1);
    QList<QFile *> held;
    bool noReply = false;
    bool announce = false;
    while (!args.isEmpty() && args.first().startsWith(QLatin1String("--"))) {
        const QString option = args.takeFirst();
        if (option == QLatin1String("--hold") && !args.isEmpty()) {
            auto *file = new QFile(args.takeFirst(), &app);
            if (!file->open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot open %s\n", qPrintable(file->fileName()));
                return 2;
            }
            held.append(file);
        } else if (option == QLatin1String("--no-reply")) {
            noReply = true;
        } else if (option == QLatin1String("--announce")) {
            announce = true;
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
    if (!bus.isConnected()) {
        print({{QStringLiteral("error"), QStringLiteral("no system bus")}});
        return 3;
    }

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
            QDBusMessage signal = QDBusMessage::createTargetedSignal(
                args.at(0), QStringLiteral("/park"), QStringLiteral("com.tavrin.test"),
                QStringLiteral("Parked"));
            signal << QVariant::fromValue(QDBusUnixFileDescriptor(file.handle())) << filler;
            bus.send(signal);
        }
        bus.interface()->call(QStringLiteral("GetId")); // a round trip: the signals have left
        print({{QStringLiteral("parked"), true}});
        return 0;
    }

    QString path = QStringLiteral("/logfile");
    QString interface = kService;
    QString method;
    QVariantList callArgs;
    if (command == QLatin1String("files") && args.size() == 1) {
        method = QStringLiteral("get_allRunFileList");
        callArgs << args.first();
    } else if (command == QLatin1String("kill") && args.size() == 1) {
        method = QStringLiteral("kill_allProcessSignal");
        callArgs << args.first();
    } else if (command.startsWith(QLatin1String("backup-"))) {
        path = QStringLiteral("/backup");
        interface = kService + QStringLiteral(".backup");
        if (command == QLatin1String("backup-list") && args.isEmpty())
            method = QStringLiteral("get_allBoxRootEntries");
        else if (command == QLatin1String("backup-format-all") && args.isEmpty())
            method = QStringLiteral("format_allBoxRootEntries");
        else if (command == QLatin1String("backup-format") && args.size() == 1) {
            method = QStringLiteral("format_boxRootEntries");
            callArgs << args.first();
        } else {
            return usage();
        }
    } else {
        return usage();
    }

    QDBusMessage call = QDBusMessage::createMethodCall(kService, path, interface, method);
    call.setArguments(callArgs);
    if (noReply) {
        call.setAutoStartService(false);
        bus.send(call);
        bus.interface()->call(QStringLiteral("GetId")); // a round trip: the call has left
        return 0;
    }

    QDBusPendingCall pending = bus.asyncCall(call, 600000);
    if (announce) {
        bus.interface()->call(QStringLiteral("GetId")); // a round trip: the call has left
        print({{QStringLiteral("sent"), true}});
    }
    pending.waitForFinished();
    const QDBusMessage reply = pending.reply();
    if (reply.type() != QDBusMessage::ReplyMessage) {
        print(errorObject(reply));
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
