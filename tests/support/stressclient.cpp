// Drives "/logfile" with many calls and checks that each one gets a defined
// answer: the reply signature of its method and a result the method can give.
//
//   arkvane-stress hostile CALLS SEED BOX SAFE_DIR
//   arkvane-stress load SECONDS SEED BOX SAFE_DIR
//
// "hostile" cycles through every method with hostile arguments; "load" makes a
// mix of ordinary calls for a time. BOX is the caller's own box root. SAFE_DIR
// bounds the superuser's kill requests: root is served for any path, so its
// kills aim only below SAFE_DIR. The summary is one JSON object on stdout.

#include "wiretypes.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

const QString kService = QStringLiteral("com.tavrin.arkvane");

struct Call
{
    QString method;
    QVariantList args;
};

class Arguments
{
public:
    Arguments(quint32 seed, const QString &box, const QString &safeDir)
        : m_random(seed), m_box(box), m_safeDir(safeDir), m_root(getuid() == 0)
    {
        QString controls;
        for (ushort c = 1; c < 0x20; ++c)
            controls.append(QChar(c));
        controls.append(QChar(0x7f));
        m_hostile = QStringList{QString(), QStringLiteral("/"), QStringLiteral("//"), QStringLiteral("///"),
                     QStringLiteral("."), QStringLiteral(".."), QStringLiteral("../../etc"),
                     QStringLiteral("relative/path"), QStringLiteral("%s%n%s%n%x%p"), controls,
                     QStringLiteral("line\nforged: injected"), QString(1 << 20, QLatin1Char('a')),
                     QString(1 << 20, QLatin1Char('/')), QStringLiteral("/a").repeated(1 << 19),
                     QStringLiteral("名字"), QStringLiteral("\\x41\\")};
        m_names = QStringList{QStringLiteral("root"), QStringLiteral("alice"), QStringLiteral("bob"),
                   QStringLiteral("Alice"), QStringLiteral("nobody-at-all")};
    }

    Call hostile(int i)
    {
        static const char *const methods[] = {"get_allRunFileList", "kill_allProcessSignal",
                                              "is_certificationRequired", "get_certificationInterval",
                                              "set_certificationInterval", "set_certificationPassed"};
        const QString method = QLatin1String(methods[i % 6]);
        if (method == QLatin1String("get_allRunFileList"))
            return {method, {anyPath()}};
        if (method == QLatin1String("kill_allProcessSignal"))
            return {method, {killPath()}};
        if (method == QLatin1String("set_certificationInterval"))
            return {method, {setterName(), anyInt()}};
        if (method == QLatin1String("set_certificationPassed"))
            return {method, {setterName()}};
        return {method, {anyName()}};
    }

    Call ordinary(int i)
    {
        switch (i % 6) {
        case 0:
            return {QStringLiteral("get_allRunFileList"), {m_box}};
        case 1:
            return {QStringLiteral("kill_allProcessSignal"), {m_safeDir + QStringLiteral("/quiet")}};
        case 2:
            return {QStringLiteral("is_certificationRequired"), {pick(m_names)}};
        case 3:
            return {QStringLiteral("get_certificationInterval"), {pick(m_names)}};
        case 4:
            return {QStringLiteral("set_certificationInterval"), {ownName(), 600}};
        default:
            return {QStringLiteral("set_certificationPassed"), {ownName()}};
        }
    }

private:
    QString pick(const QStringList &list) { return list.at(m_random.bounded(list.size())); }

    QString ownName() const
    {
        return m_root ? QStringLiteral("root") : QString::fromLocal8Bit(qgetenv("LOGNAME"));
    }

    QString anyPath()
    {
        const QStringList paths{m_box, m_box + QLatin1Char('/'), m_box + QStringLiteral("/../.."),
                                m_box + QStringLiteral("/link"), QStringLiteral("/home"),
                                QStringLiteral("/proc"), QStringLiteral("/home/bob/.box"),
                                m_safeDir};
        return m_random.bounded(2) ? pick(paths) : pick(m_hostile);
    }

    // The superuser is served anywhere, so its kills stay below SAFE_DIR or
    // take one of the forms that are refused outright.
    QString killPath()
    {
        if (!m_root)
            return anyPath();
        const QStringList paths{m_safeDir, m_safeDir + QStringLiteral("/"),
                                m_safeDir + QStringLiteral("/%s%n"), QString(), QStringLiteral("/"),
                                QStringLiteral("//"), QStringLiteral("////")};
        return pick(paths);
    }

    QString anyName() { return m_random.bounded(2) ? pick(m_names) : pick(m_hostile); }

    // Entries are never dropped, so the superuser, who may make any, sets only
    // a few names; an account's other names are refused and make nothing.
    QString setterName() { return m_root ? pick(m_names) : anyName(); }

    int anyInt()
    {
        static const int values[] = {INT_MIN, INT_MIN + 1, -600, -1, 0, 1, 2, 600, INT_MAX};
        return values[m_random.bounded(int(sizeof values / sizeof *values))];
    }

    QRandomGenerator m_random;
    QString m_box;
    QString m_safeDir;
    bool m_root;
    QStringList m_hostile;
    QStringList m_names;
};

// The reply a method must give: its signature, and its results if they are fixed.
QString checkReply(const Call &call, const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage)
        return reply.errorName() + QStringLiteral(": ") + reply.errorMessage().left(200);
    static const QHash<QString, QString> signatures{
        {QStringLiteral("get_allRunFileList"), QStringLiteral("ia(ss)")},
        {QStringLiteral("kill_allProcessSignal"), QStringLiteral("i")},
        {QStringLiteral("is_certificationRequired"), QStringLiteral("b")},
        {QStringLiteral("get_certificationInterval"), QStringLiteral("i")},
        {QStringLiteral("set_certificationInterval"), QStringLiteral("i")},
        {QStringLiteral("set_certificationPassed"), QString()}};
    if (reply.signature() != signatures.value(call.method))
        return QStringLiteral("signature %1").arg(reply.signature());
    if (call.method == QLatin1String("get_allRunFileList")
        || call.method == QLatin1String("kill_allProcessSignal")
        || call.method == QLatin1String("set_certificationInterval")) {
        const int result = reply.arguments().value(0).toInt();
        if (result != 0 && result != -1)
            return QStringLiteral("result %1").arg(result);
    }
    return QString();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerWireTypes();
    const QStringList args = app.arguments();
    if (args.size() != 6 || (args[1] != QLatin1String("hostile") && args[1] != QLatin1String("load"))) {
        std::fputs("usage: arkvane-stress hostile|load COUNT SEED BOX SAFE_DIR\n", stderr);
        return 2;
    }
    const bool hostile = args[1] == QLatin1String("hostile");
    const qint64 count = args[2].toLongLong();
    Arguments generator(args[3].toUInt(), args[4], args[5]);

    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected())
        return 3;

    std::vector<double> millis;
    QJsonArray bad;
    qint64 failures = 0;
    QElapsedTimer run;
    run.start();
    for (int i = 0;; ++i) {
        if (hostile ? i >= count : run.elapsed() >= count * 1000)
            break;
        const Call call = hostile ? generator.hostile(i) : generator.ordinary(i);
        QDBusMessage message = QDBusMessage::createMethodCall(kService, QStringLiteral("/logfile"),
                                                              kService, call.method);
        message.setArguments(call.args);
        QElapsedTimer timer;
        timer.start();
        const QDBusMessage reply = bus.call(message, QDBus::Block, 120000);
        millis.push_back(timer.nsecsElapsed() / 1e6);
        const QString problem = checkReply(call, reply);
        if (!problem.isEmpty()) {
            ++failures;
            if (bad.size() < 10)
                bad.append(call.method + QStringLiteral(": ") + problem);
        }
    }

    std::sort(millis.begin(), millis.end());
    auto percentile = [&millis](double p) {
        return millis.empty() ? 0.0 : millis[std::min(millis.size() - 1, size_t(p * millis.size()))];
    };
    const QJsonObject summary{{QStringLiteral("calls"), qint64(millis.size())},
                              {QStringLiteral("failures"), failures},
                              {QStringLiteral("bad"), bad},
                              {QStringLiteral("p50_ms"), percentile(0.50)},
                              {QStringLiteral("p99_ms"), percentile(0.99)},
                              {QStringLiteral("max_ms"), millis.empty() ? 0.0 : millis.back()}};
    std::fputs(QJsonDocument(summary).toJson(QJsonDocument::Compact).constData(), stdout);
    std::fputc('\n', stdout);
    return 0;
}
