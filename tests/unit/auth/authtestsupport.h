#pragma once

#include "boottimeclock.h"

#include <QByteArray>
#include <QStringList>
#include <QtGlobal>

// A boot-time clock that moves only when a test moves it.
class FakeBootClock
{
public:
    static constexpr qint64 kSecond = 1000000000;

    FakeBootClock()
    {
        setBootTimeSource([this] { return m_nNow; });
    }
    ~FakeBootClock() { setBootTimeSource({}); }
    FakeBootClock(const FakeBootClock &) = delete;
    FakeBootClock &operator=(const FakeBootClock &) = delete;

    void advance(qint64 nNanoseconds) { m_nNow += nNanoseconds; }

private:
    // Far from zero, as a real boot-time clock is, and not on a whole second.
    qint64 m_nNow = 86400 * kSecond + kSecond / 3;
};

// Collects what goes to the debug stream of the default category while it lives.
class DebugCapture
{
public:
    DebugCapture()
    {
        messages().clear();
        previous() = qInstallMessageHandler(&DebugCapture::handle);
    }
    ~DebugCapture() { qInstallMessageHandler(previous()); }
    DebugCapture(const DebugCapture &) = delete;
    DebugCapture &operator=(const DebugCapture &) = delete;

    static QStringList &messages()
    {
        static QStringList list;
        return list;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &text)
    {
        if (type == QtDebugMsg && qstrcmp(context.category, "default") == 0)
            messages().append(text);
        else if (previous())
            previous()(type, context, text);
    }

    static QtMessageHandler &previous()
    {
        static QtMessageHandler handler = nullptr;
        return handler;
    }
};
