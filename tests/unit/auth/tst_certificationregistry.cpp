#include "authtestsupport.h"
#include "boxdaemonservice.h"
#include "cauthcredservice.h"

#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <limits>
#include <memory>

// The four certification slots called directly, as the daemon itself would
// call them: a call that does not come from the bus may change any entry.
class TestCertificationRegistry : public QObject
{
    Q_OBJECT

    std::unique_ptr<FakeBootClock> m_clock;
    std::unique_ptr<DebugCapture> m_debug;

    static int entryCount(const BoxDaemonService &service) { return service.m_mapAuthCred.size(); }
    static CAuthCredService *entry(const BoxDaemonService &service, const QString &strUserName)
    {
        return service.m_mapAuthCred.value(strUserName, nullptr);
    }
    void tick(const BoxDaemonService &service, const QString &strUserName, int nCount = 1)
    {
        CAuthCredService *timer = entry(service, strUserName);
        QVERIFY(timer);
        for (int i = 0; i < nCount; ++i) {
            m_clock->advance(FakeBootClock::kSecond);
            timer->handleTimeOut();
        }
    }

private Q_SLOTS:
    void init()
    {
        m_clock = std::make_unique<FakeBootClock>();
        m_debug = std::make_unique<DebugCapture>();
    }
    void cleanup()
    {
        m_debug.reset();
        m_clock.reset();
    }

    void askingDoesNotCreate();
    void askingAnswersFromExistingEntry();
    void setIntervalMakesRequiredEntry_data();
    void setIntervalMakesRequiredEntry();
    void passMakesPassedEntry();
    void passEndsAfterInterval();
    void zeroIntervalEndsPassAtFirstTick();
    void intervalChangeKeepsCount();
    void namesDifferingInCaseAreTwoEntries();
    void emptyNameIsAnEntry();
    void entriesAreParentlessAndTicking();
    void destructionDeletesEntries();
};

void TestCertificationRegistry::askingDoesNotCreate()
{
    BoxDaemonService service;
    QVERIFY(service.is_certificationRequired(QStringLiteral("carol")));
    QCOMPARE(service.get_certificationInterval(QStringLiteral("carol")), 600);
    QVERIFY(service.is_certificationRequired(QString()));
    QCOMPARE(service.get_certificationInterval(QString()), 600);
    QCOMPARE(entryCount(service), 0);

    for (int i = 0; i < 1000; ++i)
        service.is_certificationRequired(QStringLiteral("name%1").arg(i));
    QCOMPARE(entryCount(service), 0);
}

void TestCertificationRegistry::askingAnswersFromExistingEntry()
{
    BoxDaemonService service;
    service.set_certificationInterval(QStringLiteral("alice"), 42);
    service.set_certificationPassed(QStringLiteral("alice"));
    QVERIFY(!service.is_certificationRequired(QStringLiteral("alice")));
    QCOMPARE(service.get_certificationInterval(QStringLiteral("alice")), 42);
    QCOMPARE(entryCount(service), 1);
}

void TestCertificationRegistry::setIntervalMakesRequiredEntry_data()
{
    QTest::addColumn<int>("interval");
    QTest::newRow("positive") << 5;
    QTest::newRow("zero") << 0;
    QTest::newRow("negative") << -7;
    QTest::newRow("highest") << std::numeric_limits<int>::max();
    QTest::newRow("lowest") << std::numeric_limits<int>::min();
}

void TestCertificationRegistry::setIntervalMakesRequiredEntry()
{
    QFETCH(int, interval);
    BoxDaemonService service;
    QCOMPARE(service.set_certificationInterval(QStringLiteral("dave"), interval), 0);
    QCOMPARE(entryCount(service), 1);
    QVERIFY(service.is_certificationRequired(QStringLiteral("dave")));
    QCOMPARE(service.get_certificationInterval(QStringLiteral("dave")), interval);
}

void TestCertificationRegistry::passMakesPassedEntry()
{
    BoxDaemonService service;
    service.set_certificationPassed(QStringLiteral("alice"));
    QCOMPARE(entryCount(service), 1);
    QVERIFY(!service.is_certificationRequired(QStringLiteral("alice")));
    QCOMPARE(service.get_certificationInterval(QStringLiteral("alice")), 600);
    QCOMPARE(entry(service, QStringLiteral("alice"))->ticksSincePass(), 0);
}

void TestCertificationRegistry::passEndsAfterInterval()
{
    BoxDaemonService service;
    service.set_certificationPassed(QStringLiteral("alice"));
    tick(service, QStringLiteral("alice"), 599);
    QVERIFY(!service.is_certificationRequired(QStringLiteral("alice")));
    tick(service, QStringLiteral("alice"));
    QVERIFY(service.is_certificationRequired(QStringLiteral("alice")));

    // A new pass counts against a new interval.
    QCOMPARE(service.set_certificationInterval(QStringLiteral("alice"), 3), 0);
    service.set_certificationPassed(QStringLiteral("alice"));
    tick(service, QStringLiteral("alice"), 2);
    QVERIFY(!service.is_certificationRequired(QStringLiteral("alice")));
    tick(service, QStringLiteral("alice"));
    QVERIFY(service.is_certificationRequired(QStringLiteral("alice")));
}

void TestCertificationRegistry::zeroIntervalEndsPassAtFirstTick()
{
    BoxDaemonService service;
    QCOMPARE(service.set_certificationInterval(QStringLiteral("alice"), 0), 0);
    service.set_certificationPassed(QStringLiteral("alice"));
    QVERIFY(!service.is_certificationRequired(QStringLiteral("alice")));
    tick(service, QStringLiteral("alice"));
    QVERIFY(service.is_certificationRequired(QStringLiteral("alice")));
}

void TestCertificationRegistry::intervalChangeKeepsCount()
{
    BoxDaemonService service;
    service.set_certificationPassed(QStringLiteral("alice"));
    tick(service, QStringLiteral("alice"), 10);

    QCOMPARE(service.set_certificationInterval(QStringLiteral("alice"), 5), 0);
    QVERIFY(!service.is_certificationRequired(QStringLiteral("alice")));
    QCOMPARE(entry(service, QStringLiteral("alice"))->ticksSincePass(), 10);
    tick(service, QStringLiteral("alice"));
    QVERIFY(service.is_certificationRequired(QStringLiteral("alice")));
}

void TestCertificationRegistry::namesDifferingInCaseAreTwoEntries()
{
    BoxDaemonService service;
    service.set_certificationPassed(QStringLiteral("alice"));
    QCOMPARE(service.set_certificationInterval(QStringLiteral("Alice"), 30), 0);
    QCOMPARE(entryCount(service), 2);

    QVERIFY(!service.is_certificationRequired(QStringLiteral("alice")));
    QVERIFY(service.is_certificationRequired(QStringLiteral("Alice")));
    QVERIFY(service.is_certificationRequired(QStringLiteral("ALICE")));
    QCOMPARE(service.get_certificationInterval(QStringLiteral("alice")), 600);
    QCOMPARE(service.get_certificationInterval(QStringLiteral("Alice")), 30);
    QCOMPARE(entryCount(service), 2);
}

void TestCertificationRegistry::emptyNameIsAnEntry()
{
    BoxDaemonService service;
    service.set_certificationPassed(QString());
    QCOMPARE(entryCount(service), 1);
    QVERIFY(!service.is_certificationRequired(QString()));
    QVERIFY(!service.is_certificationRequired(QStringLiteral("")));
    QVERIFY(service.is_certificationRequired(QStringLiteral(" ")));

    tick(service, QString());
    QCOMPARE(DebugCapture::messages(),
             QStringList{QStringLiteral("Enter timeout processing function. username =  \"\"   m_nTimer =  0")});
}

void TestCertificationRegistry::entriesAreParentlessAndTicking()
{
    BoxDaemonService service;
    service.set_certificationPassed(QStringLiteral("alice"));
    CAuthCredService *timer = entry(service, QStringLiteral("alice"));
    QVERIFY(timer);
    QCOMPARE(timer->parent(), nullptr);
    QVERIFY(timer->findChild<QTimer *>()->isActive());
}

void TestCertificationRegistry::destructionDeletesEntries()
{
    auto service = std::make_unique<BoxDaemonService>();
    service->set_certificationPassed(QStringLiteral("alice"));
    service->set_certificationInterval(QStringLiteral("bob"), 1);
    QPointer<CAuthCredService> alice(entry(*service, QStringLiteral("alice")));
    QPointer<CAuthCredService> bob(entry(*service, QStringLiteral("bob")));
    service.reset();
    QVERIFY(alice.isNull());
    QVERIFY(bob.isNull());
}

QTEST_GUILESS_MAIN(TestCertificationRegistry)
#include "tst_certificationregistry.moc"
