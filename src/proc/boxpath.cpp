// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxpath.h"

#include "pathtext.h"

QString format_boxPath(const QString &strPath)
{
    const QString trimmed = withoutTrailingSlashes(strPath);
    if (trimmed.isEmpty())
        return QString();
    return trimmed + QLatin1Char('/');
}
