#pragma once

// Whether this thread holds capability (a CAP_* number) in its effective set;
// false when the kernel cannot say.
bool hasEffectiveCapability(int capability);
