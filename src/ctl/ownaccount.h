#pragma once

#include <QString>

#include <sys/types.h>

// The account this client runs as, as the daemon will see it: the effective
// uid (what the bus daemon reports for the connection) looked up in the
// password database.
struct OwnAccount
{
    uid_t uid = 0;
    bool known = false; // false when the uid has no entry in the password database
    QString name;
    QString boxRoot; // "<home>/.box"

    bool isSuperuser() const { return uid == 0; }
};

OwnAccount ownAccount();

// Whether the daemon serves this account for path: the superuser anywhere,
// any other account only inside its own box root, given as the password
// database has it or with its symbolic links resolved. Mirrors the daemon's
// rule so that a refusal can be explained; the daemon alone decides.
bool servesPathFor(const OwnAccount &account, const QString &path);

// path without its trailing slashes ("/" for a path made only of slashes).
QString withoutTrailingSlashes(const QString &path);
