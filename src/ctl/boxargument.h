#pragma once

#include "outcome.h"
#include "ownaccount.h"

#include <QStringList>

// The box a files or close command is about.
struct BoxChoice
{
    QString path;    // as sent to the daemon
    QString warning; // a note for the user, or empty
    Outcome problem; // a failure when no path can be sent
};

// The box named by the operands (at most one), or the caller's own box root
// when there is none.
//
// A named box is sent as written, only made absolute against the working
// directory: it is never resolved through symbolic links, since it may be
// another user's path and a link there could aim the daemon at any directory.
// As the daemon matches it as text against the paths the kernel reports, a
// path that resolves elsewhere earns a warning. The caller's own box root is
// the caller's own to resolve, so it is sent resolved when it exists.
BoxChoice chooseBox(const QStringList &operands, const OwnAccount &account);
