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

// The wire types through a real peer-to-peer connection.
class TestWireTypes : public QObject
{
    Q_OBJECT

    PeerServer<Echo> m_server{QStringLiteral("/echo"), QDBusConnection::ExportAllSlots};
    QDBusConnection m_peer{QString()};

    QDBusMessage call(const char *method, const QVariant &argument)
    {
        QDBusMessage message = QDBusMessage::createMethodCall(QString(), QStringLiteral("/echo"), QString(),
                                                              QLatin1String(method));
        message << argument;
        return m_peer.call(message);
    }
    template <typename T>
    T roundTrip(const char *method, const T &value)
    {
        const QDBusReply<T> reply = call(method, QVariant::fromValue(value));
        if (!reply.isValid())
            qWarning() << reply.error();
        return reply.value();
    }
    // Sends the value as a variant, so the other end sees it still marshalled.
    QDBusMessage callWithVariant(const char *method, const CBoxFileList &value)
    {
        return call(method, QVariant::fromValue(QDBusVariant(QVariant::fromValue(value))));
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

    void itemRoundTripKeepsEmptyStrings()
    {
        const BoxFileItem back = roundTrip("echoItem", BoxFileItem{QString(), QString()});
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
        const QDBusMessage reply = callWithVariant("signatureOf", CBoxFileList());
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        QCOMPARE(reply.arguments().value(0).toString(), QStringLiteral("a(ss)"));
        QVERIFY(roundTrip("echoFileList", CBoxFileList()).isEmpty());
    }

    void demarshallingReplacesWhatTheListHeld()
    {
        const QDBusMessage reply = callWithVariant("intoFilled", {{QStringLiteral("/new/x"), QStringLiteral("x")}});
        QCOMPARE(reply.type(), QDBusMessage::ReplyMessage);
        const CBoxFileList got = qdbus_cast<CBoxFileList>(reply.arguments().value(0));
        QCOMPARE(got.size(), 1);
        QCOMPARE(got[0].strFilePath, QStringLiteral("/new/x"));

        const QDBusMessage emptied = callWithVariant("intoFilled", CBoxFileList());
        QVERIFY(qdbus_cast<CBoxFileList>(emptied.arguments().value(0)).isEmpty());
    }

    void rulesAndPidsRoundTrip()
    {
        SFileRules rules;
        rules.fileList = {{QStringLiteral("/a/1"), QStringLiteral("1")}, {QStringLiteral("/a/2"), QString()}};
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
