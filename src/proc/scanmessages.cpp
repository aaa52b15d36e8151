#include "scanmessages.h"

#include <QDebug>

void logEmptyScanPath()
{
    qDebug() << "Lsof函数参数为空";
}

void logProcUnreadable()
{
    qDebug() << "打开文件路径:/proc 出错";
}
