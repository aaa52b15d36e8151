#include "boxdaemonservice.h"
#include "boxdaemonserviceadapter.h"
#include "wiretypes.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDBusServer>
#include <QFile>
#include <QSemaphore>
#include <QThread>
#include <QtTest>

// Serves "/logfile" on a peer-to-peer connection: there is no bus daemon to
// name the caller's uid, so every change a call asks for must be refused,
// while the questions are still answered.
class PeerServiceThread : public QThread
{
public:
    QString address;
    QSemaphore ready;

protected:
    void run() override
    {
        QDBusServer server(QStringLiteral("unix:tmpdir=/tmp"));
        BoxDaemonService service;
        new BoxDaemonServiceAdapter(&service);
        QObject::connect(&server, &QDBusServer::newConnection, [&service](const QDBusConnection &c) {
            QDBusConnection(c).registerObject(QStringLiteral("/logfile"), &service,
                                              QDBusConnection::ExportAdaptors);
        });
        address = server.address();
        ready.release();
        exec();
    }
};

class TestCertificationRefusal : public QObject
{
    Q_OBJECT

    PeerServiceThread m_thread;
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
        if (m_strSyslogPath.isEmpty())
            QSKIP("runs only inside the test sandbox (ARKVANE_SYSLOG unset)");
        registerWireTypes();
        m_thread.start();
        m_thread.ready.acquire();
        m_peer = QDBusConnection::connectToPeer(m_thread.address, QStringLiteral("peer"));
        QVERIFY(m_peer.isConnected());
    }

    void cleanupTestCase()
    {
        QDBusConnection::disconnectFromPeer(QStringLiteral("peer"));
        m_thread.quit();
        m_thread.wait();
    }

    void unknownCallerCannotPass()
    {
        const QDBusMessage reply = call("set_certificationPassed", QStringLiteral("alice"));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QVERIFY(reply.arguments().isEmpty());

        QCOMPARE(QDBusReply<bool>(call("is_certificationRequired", QStringLiteral("alice"))).value(), true);
        QTRY_VERIFY(syslogText().contains(
            "set_certificationPassed[72] refused: caller uid unknown may not change the certification of \"alice\"\n"));
    }

    void unknownCallerCannotSetInterval()
    {
        QCOMPARE(QDBusReply<int>(call("set_certificationInterval", QStringLiteral("bob"), 5)).value(), -1);
        QCOMPARE(QDBusReply<int>(call("get_certificationInterval", QStringLiteral("bob"))).value(), 600);
        QTRY_VERIFY(syslogText().contains(
            "set_certificationInterval[65] refused: caller uid unknown may not change the certification of \"bob\"\n"));
    }

    void refusedNameIsEscapedOnOneLine()
    {
        call("set_certificationPassed", QStringLiteral("eve\nset_certificationPassed[72] %s%n"));
        QTRY_VERIFY(syslogText().contains(
            "refused: caller uid unknown may not change the certification of "
            "\"eve\\x0aset_certificationPassed[72] %s%n\"\n"));
    }

    void questionsStayOpen()
    {
        QCOMPARE(QDBusReply<bool>(call("is_certificationRequired", QStringLiteral("carol"))).value(), true);
        QCOMPARE(QDBusReply<int>(call("get_certificationInterval", QStringLiteral("carol"))).value(), 600);
    }
};

QTEST_GUILESS_MAIN(TestCertificationRefusal)
#include "tst_certificationrefusal.moc"
