#include "boxdaemonservice.h"
#include "boxdaemonserviceadapter.h"
#include "peerserver.h"
#include "wiretypes.h"

#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QtTest>

namespace {

// The service as the daemon exports it at "/logfile".
class AdaptedService : public BoxDaemonService
{
public:
    AdaptedService() { new BoxDaemonServiceAdapter(this); }
};

} // namespace

// "/logfile" on a peer-to-peer connection: there is no bus daemon to name the
// caller's uid, so every change a call asks for must be refused, while the
// questions are still answered.
class TestCertificationRefusal : public QObject
{
    Q_OBJECT

    PeerServer<AdaptedService> m_server{QStringLiteral("/logfile"), QDBusConnection::ExportAdaptors};
    QDBusConnection m_peer{QString()};
    QString m_strSyslogPath;

    template <typename... Args>
    QDBusMessage call(const char *method, Args... args)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(
            QString(), QStringLiteral("/logfile"), QStringLiteral("com.tavrin.arkvane"),
            QLatin1String(method));
        message.setArguments({QVariant::fromValue(args)...});
        return m_peer.call(message);
    }

    QByteArray syslogText() const
    {
        QFile file(m_strSyslogPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private Q_SLOTS:
    void initTestCase()
    {
        // The refusals go to the system log, which only the sandbox captures.
        m_strSyslogPath = qEnvironmentVariable("ARKVANE_SYSLOG");
        QVERIFY(!m_strSyslogPath.isEmpty());
        registerWireTypes();
        m_peer = m_server.connect();
        QVERIFY(m_peer.isConnected());
    }

    void unknownCallerChangesNothing()
    {
        const QDBusMessage reply = call("set_certificationPassed", QStringLiteral("alice"));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QVERIFY(reply.arguments().isEmpty());
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
