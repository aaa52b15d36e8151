#include "openfilescan.h"

int get_allOpenFilePidByPath(const QString &, CBoxPidList &)
{
    return -1;
}
