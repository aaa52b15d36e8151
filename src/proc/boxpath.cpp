#include "boxpath.h"

#include "boxscope.h"

QString format_boxPath(const QString &strPath)
{
    const QString trimmed = withoutTrailingSlashes(strPath);
    if (trimmed.isEmpty())
        return QString();
    return trimmed + QLatin1Char('/');
}
