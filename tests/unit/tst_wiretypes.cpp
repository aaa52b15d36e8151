#include "wiretypes.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusServer>
#include <QDBusVariant>
#include <QThread>
#include <QtTest>

// Sends values back unchanged; lives in a thread of its own so the test
// thread can make blocking calls to it over a real peer connection.
class Echo : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    CBoxFileList echoFileList(const CBoxFileList &list) { return list; }
    SFileRules echoRules(const SFileRules &rules) { return rules; }
    CBoxPidList echoPids(const CBoxPidList &list) { return list; }
    BoxFileItem echoItem(const BoxFileItem &item) { return item; }
    // Answers a list already demarshalled into a non-empty target.
    CBoxFileList intoFilled(const QDBusVariant &value)
    {
        CBoxFileList target{{QStringLiteral("/old/a"), QStringLiteral("a")},
                            {QStringLiteral("/old/b"), QStringLiteral("b")}};
        value.variant().value<QDBusArgument>() >> target;
        return target;
    }
    QString signatureOf(const QDBusVariant &value)
    {
        return value.variant().value<QDBusArgument>().currentSignature();
    }
};

class EchoThread : public QThread
{
public:
    QString address;
    QSemaphore ready;

protected:
    void run() override
    {
        QDBusServer server(QStringLiteral("unix:tmpdir=/tmp"));
        Echo echo;
        QObject::connect(&server, &QDBusServer::newConnection, [&echo](const QDBusConnection &c) {
            QDBusConnection(c).registerObject(QStringLiteral("/echo"), &echo,
                                              QDBusConnection::ExportAllSlots);
        });
        address = server.address();
        ready.release();
        exec();
    }
};

class TestWireTypes : public QObject
{
    Q_OBJECT

    EchoThread m_thread;
    QDBusConnection m_peer{QString()};

    template <typename T>
    T roundTrip(const char *method, const T &value)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QString(), QStringLiteral("/echo"),
                                                           QString(), QLatin1String(method));
        call << QVariant::fromValue(value);
        QDBusReply<T> reply = m_peer.call(call);
        if (!reply.isValid())
            qWarning() << reply.error();
        return reply.value();
    }

    QDBusMessage callWithVariant(const char *method, const QVariant &value)
    {
        QDBusMessage call = QDBusMessage::createMethodCall(QString(), QStringLiteral("/echo"),
                                                           QString(), QLatin1String(method));
        call << QVariant::fromValue(QDBusVariant(value));
        return m_peer.call(call);
    }

private Q_SLOTS:
    void initTestCase()
    {
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

    void registeredNamesAndSignatures()
    {
        QCOMPARE(QMetaType::type("BoxFileItem"), qMetaTypeId<BoxFileItem>());
        QCOMPARE(QMetaType::type("CBoxFileList"), qMetaTypeId<CBoxFileList>());
        QCOMPARE(QMetaType::type("SFileRules"), qMetaTypeId<SFileRules>());
        QCOMPARE(QMetaType::type("CBoxPidList"), qMetaTypeId<CBoxPidList>());
        QCOMPARE(QLatin1String(QDBusMetaType::typeToSignature(qMetaTypeId<BoxFileItem>())),
                 QLatin1String("(ss)"));
        QCOMPARE(QLatin1String(QDBusMetaType::typeToSignature(qMetaTypeId<CBoxFileList>())),
                 QLatin1String("a(ss)"));
        QCOMPARE(QLatin1String(QDBusMetaType::typeToSignature(qMetaTypeId<SFileRules>())),
                 QLatin1String("(a(ss))"));
        QCOMPARE(QLatin1String(QDBusMetaType::typeToSignature(qMetaTypeId<CBoxPidList>())),
                 QLatin1String("ai"));
    }

    void itemRoundTripKeepsEmptyStrings()
    {
        const BoxFileItem item{QString(), QString()};
        const BoxFileItem back = roundTrip("echoItem", item);
        QVERIFY(back.strFilePath.isEmpty());
        QVERIFY(back.strRelativePath.isEmpty());

        const BoxFileItem full{QStringLiteral("/home/u/.box/文件 a"), QStringLiteral("文件 a")};
        const BoxFileItem fullBack = roundTrip("echoItem", full);
        QCOMPARE(fullBack.strFilePath, full.strFilePath);
        QCOMPARE(fullBack.strRelativePath, full.strRelativePath);
    }

    void fileListKeepsOrder()
    {
        CBoxFileList list;
        for (int i = 0; i < 50; ++i)
            list.append({QStringLiteral("/b/%1").arg(50 - i), QString::number(50 - i)});
        list.append({QString(), QStringLiteral("only relative")});
        const CBoxFileList back = roundTrip("echoFileList", list);
        QCOMPARE(back.size(), list.size());
        for (int i = 0; i < list.size(); ++i) {
            QCOMPARE(back[i].strFilePath, list[i].strFilePath);
            QCOMPARE(back[i].strRelativePath, list[i].strRelativePath);
        }
    }

    void emptyListKeepsItsSignature()
    {
        const QDBusMessage reply =
            callWithVariant("signatureOf", QVariant::fromValue(CBoxFileList()));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(reply.arguments().value(0).toString(), QStringLiteral("a(ss)"));
        QVERIFY(roundTrip("echoFileList", CBoxFileList()).isEmpty());
    }

    void demarshallingReplacesWhatTheListHeld()
    {
        const CBoxFileList sent{{QStringLiteral("/new/x"), QStringLiteral("x")}};
        const QDBusMessage reply = callWithVariant("intoFilled", QVariant::fromValue(sent));
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const CBoxFileList got = qdbus_cast<CBoxFileList>(reply.arguments().value(0));
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].strFilePath, QStringLiteral("/new/x"));

        const QDBusMessage emptied =
            callWithVariant("intoFilled", QVariant::fromValue(CBoxFileList()));
        QVERIFY(qdbus_cast<CBoxFileList>(emptied.arguments().value(0)).isEmpty());
    }

    void rulesAndPidsRoundTrip()
    {
        SFileRules rules;
        rules.fileList = {{QStringLiteral("/a/1"), QStringLiteral("1")},
                          {QStringLiteral("/a/2"), QString()}};
        const SFileRules back = roundTrip("echoRules", rules);
        QCOMPARE(back.fileList.size(), 2);
        QCOMPARE(back.fileList[1].strFilePath, QStringLiteral("/a/2"));
        QVERIFY(roundTrip("echoRules", SFileRules()).fileList.isEmpty());

        const CBoxPidList pids{3, 1, 2, 0x7fffffff, -1};
        QCOMPARE(roundTrip("echoPids", pids), pids);
        QVERIFY(roundTrip("echoPids", CBoxPidList()).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestWireTypes)
#include "tst_wiretypes.moc"
