#include "boxdaemonservice.h"

int BoxDaemonService::get_allFileStatus(const QString &, CBoxFileList &)
{
    return -1;
}

int BoxDaemonService::get_allRunFileList(const QString &, CBoxFileList &)
{
    return -1;
}

int BoxDaemonService::kill_allProcessSignal(const QString &)
{
    return -1;
}
