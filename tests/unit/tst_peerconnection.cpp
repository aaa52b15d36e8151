// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonservice.h"
#include "boxdaemonserviceadapter.h"
#include "wiretypes.h"

#include <QDBusConnection>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusServer>
#include <QDBusVariant>
#include <QtTest>

#include <cstdlib>

// The service as the daemon exports it, with echoes; intoFilled demarshals into a filled list.
class Served : public BoxDaemonService
{
    Q_OBJECT
public:
    Served() { new BoxDaemonServiceAdapter(this); }
public Q_SLOTS:
    SFileRules echoRules(const SFileRules &rules) { return rules; }
    CBoxPidList echoPids(const CBoxPidList &list) { return list; }
    CBoxFileList intoFilled(const QDBusVariant &value)
    {
        CBoxFileList target{{QStringLiteral("/old/a"), QStringLiteral("a")},
                            {QStringLiteral("/old/b"), QString()}};
        value.variant().value<QDBusArgument>() >> target;
        return target;
    }
};

// Found by argument-dependent lookup in the global namespace, for this file alone.
static bool operator==(const BoxFileItem &a, const BoxFileItem &b)
{
    return a.strFilePath == b.strFilePath && a.strRelativePath == b.strRelativePath;
}

// The wire types the bus tests never send, and "/logfile" without a bus daemon to name the
// caller's uid: changes are refused and logged, questions answered. Calls run an event loop.
class TestPeerConnection : public QObject
{
    Q_OBJECT

    QDBusServer m_server{QStringLiteral("unix:tmpdir=/tmp")};
    Served m_served;
    QDBusConnection m_peer{QString()};
    bool m_registered = false;

    QDBusMessage call(const char *interface, const char *method, const QVariantList &arguments)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString(), QStringLiteral("/logfile"), QLatin1String(interface), QLatin1String(method));
        message.setArguments(arguments);
        return m_peer.call(message, QDBus::BlockWithGui);
    }

private Q_SLOTS:
    void initTestCase()
    {
        registerWireTypes();
        connect(&m_server, &QDBusServer::newConnection, this, [this](const QDBusConnection &c) {
            m_registered = QDBusConnection(c).registerObject(QStringLiteral("/logfile"), &m_served,
                                                             QDBusConnection::ExportAdaptors
                                                                 | QDBusConnection::ExportAllSlots);
        });
        m_peer = QDBusConnection::connectToPeer(m_server.address(), QStringLiteral("peer"));
        QTRY_VERIFY(m_registered);
    }

    void roundTrips()
    {
        QCOMPARE(QDBusMetaType::typeToSignature(qMetaTypeId<SFileRules>()), "(a(ss))");
        QCOMPARE(QDBusMetaType::typeToSignature(qMetaTypeId<CBoxPidList>()), "ai");
        const CBoxFileList files{{QStringLiteral("/b/文件"), QStringLiteral("文件")},
                                 {QString(), QStringLiteral("r")}};
        SFileRules rules;
        rules.fileList = files;
        QCOMPARE(QDBusReply<SFileRules>(call("", "echoRules", {QVariant::fromValue(rules)})).value().fileList,
                 files);
        const CBoxPidList pids{3, 1, 2, 0x7fffffff, -1};
        QCOMPARE(QDBusReply<CBoxPidList>(call("", "echoPids", {QVariant::fromValue(pids)})).value(), pids);
        for (const CBoxFileList &sent : {files, CBoxFileList()}) {
            const QVariant wrapped = QVariant::fromValue(QDBusVariant(QVariant::fromValue(sent)));
            QCOMPARE(QDBusReply<CBoxFileList>(call("", "intoFilled", {wrapped})).value(), sent);
        }
    }

    void unknownCallerChangesNothing()
    {
        const char *const kInterface = "com.tavrin.arkvane";
        const QString alice = QStringLiteral("alice"), bob = QStringLiteral("bob");
        QCOMPARE(call(kInterface, "set_certificationPassed", {alice}).type(), QDBusMessage::ReplyMessage);
        QCOMPARE(QDBusReply<bool>(call(kInterface, "is_certificationRequired", {alice})).value(), true);
        QCOMPARE(QDBusReply<int>(call(kInterface, "set_certificationInterval", {bob, 5})).value(), -1);
        QCOMPARE(QDBusReply<int>(call(kInterface, "get_certificationInterval", {bob})).value(), 600);
        const auto logged = [](const QByteArray &line) {
            QFile log(qEnvironmentVariable("ARKVANE_SYSLOG"));
            return log.open(QIODevice::ReadOnly) && log.readAll().contains(line);
        };
        QTRY_VERIFY(logged("set_certificationPassed[72] refused: caller uid unknown may not change the "
                           "certification of \"alice\"\n"));
        QTRY_VERIFY(logged("set_certificationInterval[65] refused: caller uid unknown may not change the "
                           "certification of \"bob\"\n"));
    }
};

// Skips exit-time teardown: Qt's bus thread can deadlock there on the peer connections.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    TestPeerConnection test;
    std::_Exit(QTest::qExec(&test, argc, argv)); // the test log flushes each line itself
}
#include "tst_peerconnection.moc"
