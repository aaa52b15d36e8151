// SPDX-License-Identifier: GPL-2.0-or-later
#include "account.h"

#include <QFile>

#include <pwd.h>

#include <cerrno>
#include <vector>

CallerAccount accountOfUid(uid_t uid)
{
    CallerAccount account;
    account.uidKnown = true;
    account.uid = uid;
    std::vector<char> buffer(16384);
    struct passwd entry = {};
    struct passwd *result = nullptr;
    while (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &result) == ERANGE
           && buffer.size() < (1u << 20))
        buffer.resize(buffer.size() * 2);
    if (!result)
        return account;
    account.known = true;
    account.gid = entry.pw_gid;
    account.userName = QString::fromLocal8Bit(entry.pw_name ? entry.pw_name : "");
    account.home = QFile::decodeName(entry.pw_dir ? entry.pw_dir : "");
    return account;
}

bool mayChangeCertificationOf(const CallerAccount &account, const QString &strUserName)
{
    return account.isSuperuser() || (account.known && account.userName == strUserName);
}
