#include "boxusername.h"

#include <QtTest>

class TestBoxUserName : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void singleDirectoryNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("plain") << QStringLiteral("alice") << true;
        QTest::newRow("root") << QStringLiteral("root") << true;
        QTest::newRow("other case") << QStringLiteral("Root") << true;
        QTest::newRow("leading dot") << QStringLiteral(".alice") << true;
        QTest::newRow("three dots") << QStringLiteral("...") << true;
        QTest::newRow("space and unicode") << QStringLiteral("al ice\u00e9") << true;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("dot") << QStringLiteral(".") << false;
        QTest::newRow("dot dot") << QStringLiteral("..") << false;
        QTest::newRow("climbs out") << QStringLiteral("../../etc") << false;
        QTest::newRow("slash") << QStringLiteral("/") << false;
        QTest::newRow("trailing slash") << QStringLiteral("alice/") << false;
        QTest::newRow("inner slash") << QStringLiteral("alice/x") << false;
        QTest::newRow("nul") << QString(QStringLiteral("alice") + QChar(0) + QStringLiteral("x")) << false;
    }
    void singleDirectoryNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QCOMPARE(namesSingleDirectory(name), accepted);
    }
};

QTEST_GUILESS_MAIN(TestBoxUserName)
#include "tst_boxusername.moc"
