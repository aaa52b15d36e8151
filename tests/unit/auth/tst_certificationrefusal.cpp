#include "boxdaemonservice.h"
#include "boxdaemonserviceadapter.h"
#include "peerserver.h"
#include "wiretypes.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QtTest>

// The service as the daemon exports it at "/logfile".
class AdaptedService : public BoxDaemonService
{
public:
    AdaptedService() { new BoxDaemonServiceAdapter(this); }
};

// "/logfile" on a peer-to-peer connection: no bus daemon names the caller's
// uid, so every change must be refused and logged, while questions are
// still answered. Runs in the sandbox, which captures the system log.
class TestCertificationRefusal : public QObject
{
    Q_OBJECT

    PeerServer<AdaptedService> m_server{QStringLiteral("/logfile"), QDBusConnection::ExportAdaptors};
    QDBusConnection m_peer{QString()};

    template <typename... Args>
    QDBusMessage call(const char *method, Args... args)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString(), QStringLiteral("/logfile"), QStringLiteral("com.tavrin.arkvane"), QLatin1String(method));
        message.setArguments({QVariant::fromValue(args)...});
        return m_peer.call(message);
    }

    static QByteArray syslogText()
    {
        QFile file(qEnvironmentVariable("ARKVANE_SYSLOG"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void unknownCallerChangesNothing()
    {
        registerWireTypes();
        m_peer = m_server.connect();
        QVERIFY(m_peer.isConnected());
        const QDBusMessage reply = call("set_certificationPassed", QStringLiteral("alice"));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(QDBusReply<bool>(call("is_certificationRequired", QStringLiteral("alice"))).value(), true);
        QCOMPARE(QDBusReply<int>(call("set_certificationInterval", QStringLiteral("bob"), 5)).value(), -1);
        QCOMPARE(QDBusReply<int>(call("get_certificationInterval", QStringLiteral("bob"))).value(), 600);
        QTRY_VERIFY(syslogText().contains(
            "set_certificationPassed[72] refused: caller uid unknown may not change the certification of \"alice\"\n"));
        QTRY_VERIFY(syslogText().contains(
            "set_certificationInterval[65] refused: caller uid unknown may not change the certification of \"bob\"\n"));
    }
};

QTEST_GUILESS_MAIN(TestCertificationRefusal)
#include "tst_certificationrefusal.moc"
