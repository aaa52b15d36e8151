#include "boxpath.h"

QString withoutTrailingSlashes(const QString &strPath)
{
    int length = strPath.size();
    while (length > 0 && strPath.at(length - 1) == QLatin1Char('/'))
        --length;
    return strPath.left(length);
}

QString format_boxPath(const QString &strPath)
{
    const QString trimmed = withoutTrailingSlashes(strPath);
    if (trimmed.isEmpty())
        return QString();
    return trimmed + QLatin1Char('/');
}
