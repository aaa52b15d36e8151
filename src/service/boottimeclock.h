// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QtGlobal>

#include <functional>

// Nanoseconds on CLOCK_BOOTTIME: unlike the monotonic clock it keeps running
// while the machine is suspended, so a day asleep counts as a day.
qint64 bootTimeNanoseconds();

// Replaces the clock for the whole process until called again with an empty
// function, which brings back the kernel's clock. Unit tests move time with it
// instead of waiting.
void setBootTimeSource(std::function<qint64()> source);
