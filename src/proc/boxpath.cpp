#include "boxpath.h"

QString format_boxPath(const QString &strPath)
{
    if (strPath.isEmpty())
        return QString();
    return strPath + QLatin1Char('/');
}
