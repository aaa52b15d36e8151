#pragma once

#include <QString>

// The prefix against which descriptor targets are matched: the box path with
// one "/" appended, or empty for an empty path.
QString format_boxPath(const QString &strPath);
