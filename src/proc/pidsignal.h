#pragma once

#include "holderscan.h"

// Sends SIGKILL to the process the holder's /proc directory was opened on
// (pidfd_send_signal accepts that descriptor as a pidfd). Only a kernel
// without pidfds gets kill() by number. The holder's procDir must be open.
// True when the signal was sent.
bool sendKill(const HolderProcess &holder);
