#pragma once

#include <QStringList>
#include <QtGlobal>

// Collects the debug-log lines written while it lives.
class MessageCapture
{
public:
    MessageCapture();
    ~MessageCapture();
    MessageCapture(const MessageCapture &) = delete;
    MessageCapture &operator=(const MessageCapture &) = delete;

    QStringList lines() const;

private:
    QtMessageHandler m_previous;
};
