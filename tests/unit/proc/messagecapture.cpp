#include "messagecapture.h"

namespace {

QStringList capturedLines;

void capture(QtMsgType, const QMessageLogContext &, const QString &message)
{
    capturedLines.append(message);
}

} // namespace

MessageCapture::MessageCapture()
{
    capturedLines.clear();
    m_previous = qInstallMessageHandler(capture);
}

MessageCapture::~MessageCapture()
{
    qInstallMessageHandler(m_previous);
}

QStringList MessageCapture::lines() const
{
    return capturedLines;
}
