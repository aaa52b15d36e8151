// SPDX-License-Identifier: GPL-2.0-or-later
#include "pathtext.h"

QString withoutTrailingSlashes(const QString &path)
{
    int length = path.size();
    while (length > 0 && path.at(length - 1) == QLatin1Char('/'))
        --length;
    return path.left(length);
}
