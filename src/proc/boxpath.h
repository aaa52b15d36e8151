#pragma once

#include <QString>

// The box path without its trailing slashes ("/home/u/.box///" gives
// "/home/u/.box"); a path made only of slashes gives the empty string.
QString withoutTrailingSlashes(const QString &strPath);

// The prefix against which descriptor targets are matched: the box path with
// its trailing slashes trimmed and one "/" appended. Empty for an empty path
// and for one made only of slashes, which would otherwise match everything.
QString format_boxPath(const QString &strPath);
