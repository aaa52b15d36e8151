#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects the debug messages of the default category written while it
// lives; other messages go on to the handler that was there before.
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
