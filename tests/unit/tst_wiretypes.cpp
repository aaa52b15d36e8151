#include "peerserver.h"
#include "wiretypes.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusReply>
#include <QDBusVariant>
#include <QtTest>

// Sends values back unchanged.
class Echo : public QObject
{
    Q_OBJECT
public Q_SLOTS:
    CBoxFileList echoFileList(const CBoxFileList &list) { return list; }
    SFileRules echoRules(const SFileRules &rules) { return rules; }
    CBoxPidList echoPids(const CBoxPidList &list) { return list; }
    // Demarshals a list into a target that already holds items.
    CBoxFileList intoFilled(const QDBusVariant &value)
    {
        CBoxFileList target{{QStringLiteral("/old/a"), QStringLiteral("a")},
                            {QStringLiteral("/old/b"), QStringLiteral("b")}};
        value.variant().value<QDBusArgument>() >> target;
        return target;
    }
};

bool operator==(const BoxFileItem &a, const BoxFileItem &b)
{
    return a.strFilePath == b.strFilePath && a.strRelativePath == b.strRelativePath;
}

// The wire types through a real peer-to-peer connection.
class TestWireTypes : public QObject
{
    Q_OBJECT

    PeerServer<Echo> m_server{QStringLiteral("/echo"), QDBusConnection::ExportAllSlots};
    QDBusConnection m_peer{QString()};

    template <typename T>
    T roundTrip(const char *method, const QVariant &argument)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(QString(), QStringLiteral("/echo"), QString(),
                                                              QLatin1String(method));
        message << argument;
        const QDBusReply<T> reply = m_peer.call(message);
        if (!reply.isValid())
            qWarning() << reply.error();
        return reply.value();
    }

private Q_SLOTS:
    void initTestCase()
    {
        registerWireTypes();
        m_peer = m_server.connect();
        QVERIFY(m_peer.isConnected());
    }

    void registeredSignatures()
    {
        QCOMPARE(QDBusMetaType::typeToSignature(qMetaTypeId<BoxFileItem>()), "(ss)");
        QCOMPARE(QDBusMetaType::typeToSignature(qMetaTypeId<CBoxFileList>()), "a(ss)");
        QCOMPARE(QDBusMetaType::typeToSignature(qMetaTypeId<SFileRules>()), "(a(ss))");
        QCOMPARE(QDBusMetaType::typeToSignature(qMetaTypeId<CBoxPidList>()), "ai");
    }

    // Order, empty strings and non-ASCII survive; an empty list too.
    void roundTrips()
    {
        const CBoxFileList files{{QStringLiteral("/home/u/.box/文件 a"), QStringLiteral("文件 a")},
                                 {QString(), QStringLiteral("only relative")},
                                 {QStringLiteral("/b/1"), QString()}};
        QCOMPARE(roundTrip<CBoxFileList>("echoFileList", QVariant::fromValue(files)), files);
        QVERIFY(roundTrip<CBoxFileList>("echoFileList", QVariant::fromValue(CBoxFileList())).isEmpty());
        SFileRules rules;
        rules.fileList = files;
        QCOMPARE(roundTrip<SFileRules>("echoRules", QVariant::fromValue(rules)).fileList, files);
        const CBoxPidList pids{3, 1, 2, 0x7fffffff, -1};
        QCOMPARE(roundTrip<CBoxPidList>("echoPids", QVariant::fromValue(pids)), pids);
    }

    void demarshallingReplacesWhatTheListHeld()
    {
        for (const CBoxFileList &sent : {CBoxFileList{{QStringLiteral("/new/x"), QStringLiteral("x")}}, CBoxFileList()}) {
            const QVariant wrapped = QVariant::fromValue(QDBusVariant(QVariant::fromValue(sent)));
            QCOMPARE(roundTrip<CBoxFileList>("intoFilled", wrapped), sent);
        }
    }
};

QTEST_GUILESS_MAIN(TestWireTypes)
#include "tst_wiretypes.moc"
