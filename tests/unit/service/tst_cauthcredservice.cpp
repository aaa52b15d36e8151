// SPDX-License-Identifier: GPL-2.0-or-later
#include "boottimeclock.h"
#include "boxdaemonservice.h"
#include "cauthcredservice.h"

#include <QPointer>
#include <QtTest>

#include <memory>

namespace {

constexpr qint64 kSecond = 1000000000;
qint64 g_nNow = 0;
QString g_strLastDebug;

void keepDebug(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg)
        g_strLastDebug = text;
}

} // namespace

class TestCertificationRegistry
{
public:
    static CAuthCredService *entry(const BoxDaemonService &service, const QString &strUserName)
    {
        return service.m_mapAuthCred.value(strUserName, nullptr);
    }
};

// The re-authentication timer and the service's entries: ticks and the boot-time clock move by hand.
class TestCAuthCredService : public QObject
{
    Q_OBJECT

    // "p" a pass, "tN" N ticks a second apart (the first 0.4 s after a pass), "fN" N ticks
    // on a clock standing still, "aN" N seconds without a tick, "iN" a new interval.
    static void play(CAuthCredService &timer, const QString &script)
    {
        qint64 nSinceTick = 0;
        for (const QString &step : script.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
            const long long n = step.mid(1).toLongLong();
            const char kind = step.at(0).toLatin1();
            if (kind == 'p') {
                timer.set_certificationPassed();
                nSinceTick = kSecond * 6 / 10;
            } else if (kind == 'a') {
                g_nNow += n * kSecond;
            } else if (kind == 'i') {
                timer.set_interval(static_cast<int>(n));
            }
            for (long long i = 0; (kind == 't' || kind == 'f') && i < n; ++i) {
                g_nNow += kind == 't' ? kSecond - std::exchange(nSinceTick, 0) : 0;
                timer.handleTimeOut();
            }
        }
    }

private Q_SLOTS:
    void init()
    {
        // Far from zero, as a real boot-time clock is, and not on a whole second.
        g_nNow = 86400 * kSecond + kSecond / 3;
        setBootTimeSource([] { return g_nNow; });
        qInstallMessageHandler(keepDebug);
    }
    void cleanup()
    {
        qInstallMessageHandler(nullptr);
        setBootTimeSource({});
    }

    void script_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<bool>("passed");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("shown"); // the count the last tick's line showed
        QTest::newRow("new entry") << "t3" << false << 0 << 0;
        QTest::newRow("ended pass ignores time") << "i3 p t3 a3600 t5" << false << 3 << 3;
        QTest::newRow("interval set while required") << "i3 p t3 i5 t1 p t4" << true << 4 << 3;
        // A pass holds for its interval in ticks; 0 or less ends it at the first.
        QTest::newRow("600, last tick held") << "p t599" << true << 599 << 598;
        QTest::newRow("600, ended") << "p t600" << false << 600 << 599;
        QTest::newRow("lowest, ended") << "i-2147483648 p t1" << false << 1 << 0;
        QTest::newRow("lowered below the count") << "p t10 i4" << true << 10 << 9;
        QTest::newRow("lowered, next tick") << "p t10 i4 t1" << false << 11 << 10;
        QTest::newRow("suspend of an hour") << "p t3 a3600 t1" << false << 3603 << 3;
        QTest::newRow("blocked loop, 600 s after the pass") << "p t1 a300 t300" << false << 600 << 599;
        QTest::newRow("blocked loop, a tick before") << "p t1 a300 t299" << true << 599 << 598;
        QTest::newRow("frozen clock, ended") << "p f600" << false << 600 << 599;
        QTest::newRow("second pass counts from its start") << "p a500 t1 p t1 a99 t1" << true << 100 << 1;
        QTest::newRow("a century asleep saturates")
            << "i2147483647 p t1 a3200000000 t2" << false << 2147483647 << 2147483647;
    }
    void script()
    {
        QFETCH(QString, script);
        QFETCH(bool, passed);
        QFETCH(int, count);
        QFETCH(int, shown);
        CAuthCredService timer(QStringLiteral("alice"));
        play(timer, script);
        QCOMPARE(timer.isPassed(), passed);
        QCOMPARE(timer.ticksSincePass(), count);
        QCOMPARE(g_strLastDebug,
                 QStringLiteral("Enter timeout processing function. username =  \"alice\"   m_nTimer =  %1")
                     .arg(shown));
    }

    // Questions make no entry; changes make one per name and reach it again; it goes with the service.
    void serviceKeepsOneEntryPerNameAndDeletesIt()
    {
        auto service = std::make_unique<BoxDaemonService>();
        QVERIFY(service->is_certificationRequired(QStringLiteral("ghost")));
        QCOMPARE(service->get_certificationInterval(QStringLiteral("ghost")), 600);
        QVERIFY(!TestCertificationRegistry::entry(*service, QStringLiteral("ghost")));
        service->set_certificationPassed(QString());
        QVERIFY(!service->is_certificationRequired(QString()));
        service->set_certificationPassed(QStringLiteral("alice"));
        QPointer<CAuthCredService> alice(TestCertificationRegistry::entry(*service, QStringLiteral("alice")));
        play(*alice, QStringLiteral("t10"));
        QCOMPARE(service->set_certificationInterval(QStringLiteral("alice"), 11), 0);
        QCOMPARE(TestCertificationRegistry::entry(*service, QStringLiteral("alice")), alice.data());
        QVERIFY(!service->is_certificationRequired(QStringLiteral("alice")));
        play(*alice, QStringLiteral("t1"));
        QVERIFY(service->is_certificationRequired(QStringLiteral("alice")));
        service.reset();
        QVERIFY(alice.isNull());
    }
};

QTEST_GUILESS_MAIN(TestCAuthCredService)
#include "tst_cauthcredservice.moc"
