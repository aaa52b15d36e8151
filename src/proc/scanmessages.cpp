// SPDX-License-Identifier: GPL-2.0-or-later
#include "scanmessages.h"

#include "logsites.h"

#include <QDebug>

#include <cstdlib>
#include <cstring>

void logEmptyScanPath()
{
    qDebug(DEBUG_EMPTY_SCAN_PATH);
}

void logProcUnreadable(int error)
{
    qDebug() << "打开文件路径:/proc 出错";
    qDebug().noquote() << "reading /proc or the mount table failed:" << std::strerror(std::abs(error));
}
