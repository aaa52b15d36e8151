// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Raises the soft limit on open descriptors to the hard limit, once per
// process: the kill scan keeps one descriptor per process it will signal.
void raiseDescriptorLimit();
