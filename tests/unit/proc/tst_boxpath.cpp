#include "boxpath.h"

#include <QtTest>

class TestBoxPath : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void formatsPrefix_data();
    void formatsPrefix();
};

void TestBoxPath::formatsPrefix_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("null") << QString() << QString();
    QTest::newRow("empty") << QStringLiteral("") << QString();
    QTest::newRow("box") << QStringLiteral("/home/u/.box") << QStringLiteral("/home/u/.box/");
    QTest::newRow("one trailing slash")
        << QStringLiteral("/home/u/.box/") << QStringLiteral("/home/u/.box/");
    QTest::newRow("several trailing slashes")
        << QStringLiteral("/home/u/.box///") << QStringLiteral("/home/u/.box/");
    QTest::newRow("root") << QStringLiteral("/") << QString();
    QTest::newRow("only slashes") << QStringLiteral("////") << QString();
    QTest::newRow("inner double slash kept")
        << QStringLiteral("//.box") << QStringLiteral("//.box/");
    QTest::newRow("relative kept as text") << QStringLiteral("box") << QStringLiteral("box/");
    QTest::newRow("dot-dot kept as text")
        << QStringLiteral("/home/u/.box/..") << QStringLiteral("/home/u/.box/../");
    QTest::newRow("non-ASCII") << QStringLiteral("/home/u/.box/盒子")
                               << QStringLiteral("/home/u/.box/盒子/");
}

void TestBoxPath::formatsPrefix()
{
    QFETCH(QString, path);
    QFETCH(QString, prefix);
    const QString formatted = format_boxPath(path);
    QCOMPARE(formatted, prefix);
    QCOMPARE(formatted.isEmpty(), prefix.isEmpty());
}

QTEST_APPLESS_MAIN(TestBoxPath)
#include "tst_boxpath.moc"
