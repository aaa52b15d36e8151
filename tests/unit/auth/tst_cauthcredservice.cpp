#include "authtestsupport.h"
#include "cauthcredservice.h"

#include <QMetaMethod>
#include <QTimer>
#include <QtTest>

#include <limits>
#include <memory>

// Ticks are driven by hand and the clock is moved by hand: nothing here waits
// for real seconds.
class TestCAuthCredService : public QObject
{
    Q_OBJECT

    static constexpr qint64 kSecond = FakeBootClock::kSecond;

    std::unique_ptr<FakeBootClock> m_clock;
    std::unique_ptr<DebugCapture> m_debug;

    // As the real timer runs: its phase is fixed, so the first tick after a
    // pass comes within a second of it and the others a second apart.
    void passNow(CAuthCredService &timer)
    {
        timer.set_certificationPassed();
        m_nSinceTick = kSecond * 6 / 10;
    }
    void tick(CAuthCredService &timer)
    {
        m_clock->advance(kSecond - m_nSinceTick);
        m_nSinceTick = 0;
        timer.handleTimeOut();
    }
    void ticks(CAuthCredService &timer, int nCount)
    {
        for (int i = 0; i < nCount; ++i)
            tick(timer);
    }
    qint64 m_nSinceTick = 0;

    static QString lastMessage() { return DebugCapture::messages().value(DebugCapture::messages().size() - 1); }
    static QString tickMessage(const QString &strUser, int nCount)
    {
        return QStringLiteral("Enter timeout processing function. username =  \"%1\"   m_nTimer =  %2")
            .arg(strUser)
            .arg(nCount);
    }
    static QStringList repeated(const QString &strText, int nTimes)
    {
        QStringList list;
        for (int i = 0; i < nTimes; ++i)
            list.append(strText);
        return list;
    }

private Q_SLOTS:
    void init()
    {
        m_clock = std::make_unique<FakeBootClock>();
        m_debug = std::make_unique<DebugCapture>();
        m_nSinceTick = 0;
    }
    void cleanup()
    {
        m_debug.reset();
        m_clock.reset();
    }

    // The object as it is made.
    void newObjectIsRequired();
    void ownsOneRepeatingSecondTimer();
    void timerTimeoutIsTheTick();
    void metaObjectHasOnlyTheTickSlot();

    // The tick's debug message.
    void tickMessageText_data();
    void tickMessageText();
    void tickMessageShowsCountBeforeIncrement();

    // The states and their moves.
    void passFromRequired();
    void passDuringPassRestartsCount();
    void tickInRequiredChangesNothing();
    void setIntervalLeavesStateAndCount();
    void passEndsAtSixHundredthTick();
    void shortIntervalsEndPassAtFirstTick_data();
    void shortIntervalsEndPassAtFirstTick();
    void intervalOfTwoLastsTwoTicks();
    void loweringIntervalBelowCountEndsPassAtNextTick_data();
    void loweringIntervalBelowCountEndsPassAtNextTick();
    void raisingIntervalWhileRequiredAppliesToNextPass();

    // Real time counts, whatever the ticks do.
    void clockJumpOfAnHourEndsPass();
    void blockedLoopCountsRealSeconds();
    void frozenClockStillCountsTicks();
    void clockGoingBackStillCountsTicks();
    void secondPassCountsFromItsOwnStart();
    void hugeJumpSaturatesCount();
};

void TestCAuthCredService::newObjectIsRequired()
{
    CAuthCredService timer(QStringLiteral("alice"));
    QVERIFY(!timer.isPassed());
    QCOMPARE(timer.interval(), 600);
    QCOMPARE(timer.ticksSincePass(), 0);
    QCOMPARE(timer.parent(), nullptr);

    ticks(timer, 3);
    QCOMPARE(DebugCapture::messages(),
             repeated(tickMessage(QStringLiteral("alice"), 0), 3));
    QVERIFY(!timer.isPassed());
}

void TestCAuthCredService::ownsOneRepeatingSecondTimer()
{
    QObject parent;
    auto *timer = new CAuthCredService(QStringLiteral("alice"), &parent);
    QCOMPARE(timer->parent(), &parent);

    const QList<QTimer *> children = timer->findChildren<QTimer *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(children.size(), 1);
    QTimer *tickSource = children.first();
    QVERIFY(tickSource->isActive());
    QCOMPARE(tickSource->interval(), 1000);
    QVERIFY(!tickSource->isSingleShot());
    QCOMPARE(tickSource->timerType(), Qt::CoarseTimer);

    // The timer goes with its object.
    QPointer<QTimer> watch(tickSource);
    delete timer;
    QVERIFY(watch.isNull());
}

void TestCAuthCredService::timerTimeoutIsTheTick()
{
    CAuthCredService timer(QStringLiteral("alice"));
    timer.set_certificationPassed();
    auto *tickSource = timer.findChild<QTimer *>();
    QVERIFY(tickSource);

    QVERIFY(QMetaObject::invokeMethod(tickSource, "timeout", Qt::DirectConnection));
    QCOMPARE(DebugCapture::messages(), QStringList{tickMessage(QStringLiteral("alice"), 0)});
    QCOMPARE(timer.ticksSincePass(), 1);
}

void TestCAuthCredService::metaObjectHasOnlyTheTickSlot()
{
    const QMetaObject &meta = CAuthCredService::staticMetaObject;
    QCOMPARE(meta.className(), "CAuthCredService");
    QCOMPARE(meta.superClass(), &QObject::staticMetaObject);
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 1);
    const QMetaMethod slot = meta.method(meta.methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("handleTimeOut()"));
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
    QCOMPARE(slot.access(), QMetaMethod::Public);
    QCOMPARE(meta.propertyCount() - meta.propertyOffset(), 0);
    QCOMPARE(meta.classInfoCount() - meta.classInfoOffset(), 0);
    QCOMPARE(meta.enumeratorCount() - meta.enumeratorOffset(), 0);

    CAuthCredService timer(QStringLiteral("alice"));
    QCOMPARE(timer.qt_metacast("CAuthCredService"), static_cast<void *>(&timer));
}

void TestCAuthCredService::tickMessageText_data()
{
    QTest::addColumn<QString>("userName");
    QTest::addColumn<QString>("expected");

    QTest::newRow("plain") << QStringLiteral("alice")
                           << QStringLiteral("Enter timeout processing function. username =  \"alice\"   m_nTimer =  0");
    QTest::newRow("empty") << QString()
                           << QStringLiteral("Enter timeout processing function. username =  \"\"   m_nTimer =  0");
    // The stream quotes the name and escapes what would break the quoting.
    QTest::newRow("quote and backslash")
        << QStringLiteral("a\"b\\c")
        << QStringLiteral("Enter timeout processing function. username =  \"a\\\"b\\\\c\"   m_nTimer =  0");
    QTest::newRow("line feed") << QStringLiteral("a\nb")
                               << QStringLiteral("Enter timeout processing function. username =  \"a\\nb\"   m_nTimer =  0");
    QTest::newRow("spaces kept") << QStringLiteral(" al ice ")
                                 << QStringLiteral("Enter timeout processing function. username =  \" al ice \"   m_nTimer =  0");
}

void TestCAuthCredService::tickMessageText()
{
    QFETCH(QString, userName);
    QFETCH(QString, expected);

    CAuthCredService timer(userName);
    timer.handleTimeOut();
    QCOMPARE(DebugCapture::messages(), QStringList{expected});
}

void TestCAuthCredService::tickMessageShowsCountBeforeIncrement()
{
    CAuthCredService timer(QStringLiteral("bob"));
    passNow(timer);
    ticks(timer, 3);
    QCOMPARE(DebugCapture::messages(),
             (QStringList{tickMessage(QStringLiteral("bob"), 0), tickMessage(QStringLiteral("bob"), 1),
                          tickMessage(QStringLiteral("bob"), 2)}));
    QCOMPARE(timer.ticksSincePass(), 3);
}

void TestCAuthCredService::passFromRequired()
{
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 0);
    QCOMPARE(timer.interval(), 600);
}

void TestCAuthCredService::passDuringPassRestartsCount()
{
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    ticks(timer, 100);
    QCOMPARE(timer.ticksSincePass(), 100);

    passNow(timer);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 0);
    // The full interval again from the second pass, not what was left of the first.
    ticks(timer, 599);
    QVERIFY(timer.isPassed());
    tick(timer);
    QVERIFY(!timer.isPassed());
}

void TestCAuthCredService::tickInRequiredChangesNothing()
{
    CAuthCredService timer(QStringLiteral("alice"));
    timer.set_interval(3);
    passNow(timer);
    ticks(timer, 3);
    QVERIFY(!timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 3);

    // The count stays where it stopped, however much time goes by.
    m_clock->advance(3600 * kSecond);
    ticks(timer, 5);
    QVERIFY(!timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 3);
    QCOMPARE(lastMessage(), tickMessage(QStringLiteral("alice"), 3));
}

void TestCAuthCredService::setIntervalLeavesStateAndCount()
{
    CAuthCredService timer(QStringLiteral("alice"));
    QCOMPARE(timer.set_interval(30), 0);
    QVERIFY(!timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 0);

    passNow(timer);
    ticks(timer, 7);
    QCOMPARE(timer.set_interval(20), 0);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 7);
    QCOMPARE(timer.interval(), 20);
}

void TestCAuthCredService::passEndsAtSixHundredthTick()
{
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    ticks(timer, 599);
    QVERIFY(timer.isPassed());
    QCOMPARE(lastMessage(), tickMessage(QStringLiteral("alice"), 598));

    tick(timer);
    QVERIFY(!timer.isPassed());
    QCOMPARE(lastMessage(), tickMessage(QStringLiteral("alice"), 599));

    ticks(timer, 2);
    QCOMPARE(DebugCapture::messages().mid(600),
             repeated(tickMessage(QStringLiteral("alice"), 600), 2));
}

void TestCAuthCredService::shortIntervalsEndPassAtFirstTick_data()
{
    QTest::addColumn<int>("interval");
    QTest::newRow("1") << 1;
    QTest::newRow("0") << 0;
    QTest::newRow("-1") << -1;
    QTest::newRow("-600") << -600;
    QTest::newRow("lowest") << std::numeric_limits<int>::min();
}

void TestCAuthCredService::shortIntervalsEndPassAtFirstTick()
{
    QFETCH(int, interval);
    CAuthCredService timer(QStringLiteral("alice"));
    QCOMPARE(timer.set_interval(interval), 0);
    QCOMPARE(timer.interval(), interval);

    passNow(timer);
    QVERIFY(timer.isPassed());
    tick(timer);
    QVERIFY(!timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 1);
}

void TestCAuthCredService::intervalOfTwoLastsTwoTicks()
{
    CAuthCredService timer(QStringLiteral("alice"));
    timer.set_interval(2);
    passNow(timer);
    tick(timer);
    QVERIFY(timer.isPassed());
    tick(timer);
    QVERIFY(!timer.isPassed());
}

void TestCAuthCredService::loweringIntervalBelowCountEndsPassAtNextTick_data()
{
    QTest::addColumn<int>("interval");
    QTest::newRow("below the count") << 4;
    QTest::newRow("at the count") << 10;
    QTest::newRow("at the next count") << 11;
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -5;
}

void TestCAuthCredService::loweringIntervalBelowCountEndsPassAtNextTick()
{
    QFETCH(int, interval);
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    ticks(timer, 10);

    timer.set_interval(interval);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 10);

    tick(timer);
    QVERIFY(!timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 11);
}

void TestCAuthCredService::raisingIntervalWhileRequiredAppliesToNextPass()
{
    CAuthCredService timer(QStringLiteral("alice"));
    timer.set_interval(1);
    passNow(timer);
    tick(timer);
    QVERIFY(!timer.isPassed());

    timer.set_interval(3);
    QVERIFY(!timer.isPassed());
    tick(timer);
    QVERIFY(!timer.isPassed());

    passNow(timer);
    ticks(timer, 2);
    QVERIFY(timer.isPassed());
    tick(timer);
    QVERIFY(!timer.isPassed());
}

void TestCAuthCredService::clockJumpOfAnHourEndsPass()
{
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    ticks(timer, 3);
    QVERIFY(timer.isPassed());

    // A suspend: no tick for an hour, then the timer fires once.
    m_clock->advance(3600 * kSecond);
    tick(timer);
    QVERIFY(!timer.isPassed());
    QCOMPARE(lastMessage(), tickMessage(QStringLiteral("alice"), 3));
    // 0.4 s to the first tick, two more seconds, the hour and this tick's second.
    QCOMPARE(timer.ticksSincePass(), 3603);
}

void TestCAuthCredService::blockedLoopCountsRealSeconds()
{
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    tick(timer);
    QCOMPARE(timer.ticksSincePass(), 1);

    // A call that held the event loop for five minutes.
    m_clock->advance(300 * kSecond);
    tick(timer);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 301);

    // From there on one second per tick, and the pass still ends 600 s after it began.
    tick(timer);
    QCOMPARE(timer.ticksSincePass(), 302);
    ticks(timer, 297);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 599);
    tick(timer);
    QVERIFY(!timer.isPassed());
}

void TestCAuthCredService::frozenClockStillCountsTicks()
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

void TestCAuthCredService::clockGoingBackStillCountsTicks()
{
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    ticks(timer, 5);
    m_clock->advance(-3600 * kSecond);
    ticks(timer, 2);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 7);
}

void TestCAuthCredService::secondPassCountsFromItsOwnStart()
{
    CAuthCredService timer(QStringLiteral("alice"));
    passNow(timer);
    m_clock->advance(500 * kSecond);
    tick(timer);
    QCOMPARE(timer.ticksSincePass(), 500);

    passNow(timer);
    tick(timer);
    QCOMPARE(timer.ticksSincePass(), 1);
    m_clock->advance(99 * kSecond);
    tick(timer);
    QVERIFY(timer.isPassed());
    QCOMPARE(timer.ticksSincePass(), 100);
}

void TestCAuthCredService::hugeJumpSaturatesCount()
{
    CAuthCredService timer(QStringLiteral("alice"));
    timer.set_interval(std::numeric_limits<int>::max());
    passNow(timer);
    tick(timer);

    // About a hundred years asleep: more seconds than the count holds.
    m_clock->advance(3200000000LL * kSecond);
    tick(timer);
    QCOMPARE(timer.ticksSincePass(), std::numeric_limits<int>::max());
    QVERIFY(!timer.isPassed());

    tick(timer);
    QCOMPARE(timer.ticksSincePass(), std::numeric_limits<int>::max());
}

QTEST_GUILESS_MAIN(TestCAuthCredService)
#include "tst_cauthcredservice.moc"
