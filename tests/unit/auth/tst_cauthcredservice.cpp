#include "boottimeclock.h"
#include "boxdaemonservice.h"
#include "cauthcredservice.h"
#include "debugcapture.h"

#include <QPointer>
#include <QtTest>

#include <limits>
#include <memory>

namespace {

constexpr qint64 kSecond = 1000000000;
constexpr int kLowest = std::numeric_limits<int>::min();
constexpr int kHighest = std::numeric_limits<int>::max();

QString tickMessage(int nCount, const QString &strShownName = QStringLiteral("alice"))
{
    return QStringLiteral("Enter timeout processing function. username =  \"%1\"   m_nTimer =  %2")
        .arg(strShownName)
        .arg(nCount);
}

QString lastMessage()
{
    return DebugCapture::messages().value(DebugCapture::messages().size() - 1);
}

} // namespace

// The service names this class its friend: it reaches the entries the
// service keeps.
class TestCertificationRegistry
{
public:
    static CAuthCredService *entry(const BoxDaemonService &service, const QString &strUserName)
    {
        return service.m_mapAuthCred.value(strUserName, nullptr);
    }
};

// The re-authentication timer, and the service's entries of it. Ticks are
// driven by hand and the clock is moved by hand: nothing here waits for real
// seconds.
class TestCAuthCredService : public QObject
{
    Q_OBJECT

    // The boot-time clock, moved only by the test.
    qint64 m_nNow = 0;
    qint64 m_nSinceTick = 0;
    std::unique_ptr<DebugCapture> m_debug;

    // As the real timer runs: its phase is fixed, so the first tick after a
    // pass comes within a second of it and the others a second apart.
    void passNow(CAuthCredService &timer)
    {
        timer.set_certificationPassed();
        m_nSinceTick = kSecond * 6 / 10;
    }
    void ticks(CAuthCredService &timer, int nCount = 1)
    {
        for (int i = 0; i < nCount; ++i) {
            m_nNow += kSecond - m_nSinceTick;
            m_nSinceTick = 0;
            timer.handleTimeOut();
        }
    }

    void advance(qint64 nNanoseconds) { m_nNow += nNanoseconds; }

private Q_SLOTS:
    void init()
    {
        // Far from zero, as a real boot-time clock is, and not on a whole second.
        m_nNow = 86400 * kSecond + kSecond / 3;
        m_nSinceTick = 0;
        setBootTimeSource([this] { return m_nNow; });
        m_debug = std::make_unique<DebugCapture>();
    }
    void cleanup()
    {
        m_debug.reset();
        setBootTimeSource({});
    }

    void tickMessageText_data()
    {
        QTest::addColumn<QString>("userName");
        QTest::addColumn<QString>("shown");
        QTest::newRow("plain") << QStringLiteral("alice") << QStringLiteral("alice");
        QTest::newRow("empty") << QString() << QString();
        // The stream escapes what would break the quoting.
        QTest::newRow("quote and backslash") << QStringLiteral("a\"b\\c") << QStringLiteral("a\\\"b\\\\c");
        QTest::newRow("line feed") << QStringLiteral("a\nb") << QStringLiteral("a\\nb");
        QTest::newRow("spaces kept") << QStringLiteral(" al ice ") << QStringLiteral(" al ice ");
    }
    void tickMessageText()
    {
        QFETCH(QString, userName);
        QFETCH(QString, shown);
        CAuthCredService timer(userName);
        timer.handleTimeOut();
        QCOMPARE(DebugCapture::messages(), QStringList{tickMessage(0, shown)});
    }

    // Neither ticks nor time move a timer in Required; a new interval waits
    // for the next pass.
    void requiredIgnoresTicksTimeAndInterval()
    {
        CAuthCredService timer(QStringLiteral("alice"));
        QVERIFY(!timer.isPassed());
        QCOMPARE(timer.interval(), 600);
        ticks(timer, 3);
        const QString atZero = tickMessage(0);
        QCOMPARE(DebugCapture::messages(), (QStringList{atZero, atZero, atZero}));
        QVERIFY(!timer.isPassed());

        timer.set_interval(3);
        passNow(timer);
        ticks(timer, 3);
        QVERIFY(!timer.isPassed());
        advance(3600 * kSecond);
        ticks(timer, 5);
        QVERIFY(!timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), 3);
        QCOMPARE(lastMessage(), tickMessage(3));

        timer.set_interval(5);
        QVERIFY(!timer.isPassed());
        ticks(timer);
        QVERIFY(!timer.isPassed());
        passNow(timer);
        ticks(timer, 4);
        QVERIFY(timer.isPassed());
        ticks(timer);
        QVERIFY(!timer.isPassed());
    }

    void passLastsIntervalTicks_data()
    {
        QTest::addColumn<int>("interval");
        QTest::addColumn<int>("ticksPassed");
        QTest::newRow("600") << 600 << 600;
        QTest::newRow("2") << 2 << 2;
        QTest::newRow("1") << 1 << 1;
        // The end-to-end timer tests end passes of 0 and -5 seconds at the first tick.
        QTest::newRow("lowest") << kLowest << 1;
    }
    void passLastsIntervalTicks()
    {
        QFETCH(int, interval);
        QFETCH(int, ticksPassed);
        CAuthCredService timer(QStringLiteral("alice"));
        QCOMPARE(timer.set_interval(interval), 0);
        QCOMPARE(timer.interval(), interval);
        passNow(timer);
        QVERIFY(timer.isPassed());
        ticks(timer, ticksPassed - 1);
        QVERIFY(timer.isPassed());
        ticks(timer);
        QVERIFY(!timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), ticksPassed);
    }

    void loweringIntervalBelowCountEndsPassAtNextTick_data()
    {
        QTest::addColumn<int>("interval");
        QTest::newRow("below the count") << 4;
        QTest::newRow("at the count") << 10;
        QTest::newRow("at the next count") << 11;
        QTest::newRow("zero") << 0;
        QTest::newRow("negative") << -5;
    }
    void loweringIntervalBelowCountEndsPassAtNextTick()
    {
        QFETCH(int, interval);
        CAuthCredService timer(QStringLiteral("alice"));
        passNow(timer);
        ticks(timer, 10);
        timer.set_interval(interval);
        QVERIFY(timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), 10);
        ticks(timer);
        QVERIFY(!timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), 11);
    }

    void clockJumpOfAnHourEndsPass()
    {
        CAuthCredService timer(QStringLiteral("alice"));
        passNow(timer);
        ticks(timer, 3);
        QVERIFY(timer.isPassed());
        // A suspend: no tick for an hour, then the timer fires once. Its
        // message shows the count before the tick.
        advance(3600 * kSecond);
        ticks(timer);
        QVERIFY(!timer.isPassed());
        QCOMPARE(lastMessage(), tickMessage(3));
        // 0.4 s to the first tick, two more seconds, the hour and this tick's second.
        QCOMPARE(timer.ticksSincePass(), 3603);
    }

    void blockedLoopCountsRealSeconds()
    {
        CAuthCredService timer(QStringLiteral("alice"));
        passNow(timer);
        ticks(timer);
        QCOMPARE(timer.ticksSincePass(), 1);
        // A call that held the event loop for five minutes.
        advance(300 * kSecond);
        ticks(timer);
        QVERIFY(timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), 301);
        // From there on one second per tick, and the pass still ends 600 s after it began.
        ticks(timer);
        QCOMPARE(timer.ticksSincePass(), 302);
        ticks(timer, 297);
        QVERIFY(timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), 599);
        ticks(timer);
        QVERIFY(!timer.isPassed());
    }

    // A clock that stands still (or is no clock at all) still counts ticks.
    void frozenClockStillCountsTicks()
    {
        CAuthCredService timer(QStringLiteral("alice"));
        timer.set_certificationPassed();
        for (int i = 0; i < 599; ++i)
            timer.handleTimeOut();
        QVERIFY(timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), 599);
        timer.handleTimeOut();
        QVERIFY(!timer.isPassed());
    }

    void secondPassCountsFromItsOwnStart()
    {
        CAuthCredService timer(QStringLiteral("alice"));
        passNow(timer);
        advance(500 * kSecond);
        ticks(timer);
        QCOMPARE(timer.ticksSincePass(), 500);
        passNow(timer);
        ticks(timer);
        QCOMPARE(timer.ticksSincePass(), 1);
        advance(99 * kSecond);
        ticks(timer);
        QVERIFY(timer.isPassed());
        QCOMPARE(timer.ticksSincePass(), 100);
    }

    void hugeJumpSaturatesCount()
    {
        CAuthCredService timer(QStringLiteral("alice"));
        timer.set_interval(kHighest);
        passNow(timer);
        ticks(timer);
        // About a hundred years asleep: more seconds than the count holds.
        advance(3200000000LL * kSecond);
        ticks(timer);
        QCOMPARE(timer.ticksSincePass(), kHighest);
        QVERIFY(!timer.isPassed());
        ticks(timer);
        QCOMPARE(timer.ticksSincePass(), kHighest);
    }

    // A new interval goes to the entry there is, whose count runs on; the
    // entries go with the service.
    void serviceKeepsOneEntryPerNameAndDeletesIt()
    {
        auto service = std::make_unique<BoxDaemonService>();
        service->set_certificationPassed(QStringLiteral("alice"));
        service->set_certificationInterval(QStringLiteral("bob"), 1);
        QPointer<CAuthCredService> alice(TestCertificationRegistry::entry(*service, QStringLiteral("alice")));
        QPointer<CAuthCredService> bob(TestCertificationRegistry::entry(*service, QStringLiteral("bob")));
        QVERIFY(alice && bob);
        ticks(*alice, 10);

        QCOMPARE(service->set_certificationInterval(QStringLiteral("alice"), 5), 0);
        QCOMPARE(TestCertificationRegistry::entry(*service, QStringLiteral("alice")), alice.data());
        QVERIFY(!service->is_certificationRequired(QStringLiteral("alice")));
        QCOMPARE(alice->ticksSincePass(), 10);
        ticks(*alice);
        QVERIFY(service->is_certificationRequired(QStringLiteral("alice")));

        service.reset();
        QVERIFY(alice.isNull());
        QVERIFY(bob.isNull());
    }
};

QTEST_GUILESS_MAIN(TestCAuthCredService)
#include "tst_cauthcredservice.moc"
