#include "boxdaemonservice.h"

BoxDaemonService::BoxDaemonService(QObject *parent)
    : QObject(parent)
{
}

BoxDaemonService::~BoxDaemonService() = default;
