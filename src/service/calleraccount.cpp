#include "calleraccount.h"

#include "buscaller.h"

#include <pwd.h>

#include <vector>

QByteArray uidForLog(const CallerAccount &caller)
{
    return caller.uidKnown ? QByteArray::number(caller.uid) : QByteArrayLiteral("unknown");
}

CallerAccount accountOfUid(uid_t uid)
{
    CallerAccount account;
    account.uidKnown = true;
    account.uid = uid;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd *result = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!result)
        return account;
    account.known = true;
    account.gid = entry.pw_gid;
    account.userName = QString::fromLocal8Bit(entry.pw_name ? entry.pw_name : "");
    account.home = QString::fromLocal8Bit(entry.pw_dir ? entry.pw_dir : "");
    return account;
}

CallerAccount callerAccount(const QDBusConnection &connection, const QDBusMessage &message)
{
    const BusCaller caller = busCallerOf(connection, message);
    return caller.uidKnown ? accountOfUid(caller.uid) : CallerAccount{};
}
