#include "pathtext.h"

QString withoutTrailingSlashes(const QString &strPath)
{
    int length = strPath.size();
    while (length > 0 && strPath.at(length - 1) == QLatin1Char('/'))
        --length;
    return strPath.left(length);
}
