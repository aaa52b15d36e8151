#include "boxdaemonservice.h"

bool BoxDaemonService::is_certificationRequired(const QString &)
{
    return true;
}

int BoxDaemonService::get_certificationInterval(const QString &)
{
    return -1;
}

int BoxDaemonService::set_certificationInterval(const QString &, int)
{
    return -1;
}

void BoxDaemonService::set_certificationPassed(const QString &)
{
}
