#pragma once

#include "commandline.h"
#include "daemonlink.h"
#include "exitstatus.h"
#include "ownaccount.h"

ExitStatus runFiles(const Invocation &invocation, const DaemonLink &daemon, const OwnAccount &account);
ExitStatus runClose(const Invocation &invocation, const DaemonLink &daemon, const OwnAccount &account);
ExitStatus runAuthStatus(const Invocation &invocation, const DaemonLink &daemon, const OwnAccount &account);
ExitStatus runAuthPassed(const Invocation &invocation, const DaemonLink &daemon, const OwnAccount &account);
ExitStatus runAuthInterval(const Invocation &invocation, const DaemonLink &daemon, const OwnAccount &account);
