// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Whether this thread holds capability (a CAP_* number) in its effective set;
// false when the kernel cannot say.
bool hasEffectiveCapability(int capability);
