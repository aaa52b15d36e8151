// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxusername.h"

bool namesSingleDirectory(const QString &strUserName)
{
    return !strUserName.isEmpty() && strUserName != QLatin1String(".") && strUserName != QLatin1String("..")
           && !strUserName.contains(QLatin1Char('/')) && !strUserName.contains(QChar(0));
}
