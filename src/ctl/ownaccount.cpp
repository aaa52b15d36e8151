#include "ownaccount.h"

#include <QFileInfo>

#include <cerrno>
#include <pwd.h>
#include <unistd.h>

#include <vector>

OwnAccount ownAccount()
{
    OwnAccount account;
    account.uid = geteuid();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    while (getpwuid_r(account.uid, &entry, buffer.data(), buffer.size(), &found) == ERANGE)
        buffer.resize(buffer.size() * 2);
    if (!found)
        return account;
    account.known = true;
    account.name = QString::fromLocal8Bit(found->pw_name);
    account.boxRoot = QString::fromLocal8Bit(found->pw_dir) + QStringLiteral("/.box");
    return account;
}

QString withoutTrailingSlashes(const QString &path)
{
    int end = path.size();
    while (end > 1 && path.at(end - 1) == QLatin1Char('/'))
        --end;
    return path.left(end);
}

namespace {

bool liesInside(const QString &path, const QString &root)
{
    if (root.isEmpty())
        return false;
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

} // namespace

bool servesPathFor(const OwnAccount &account, const QString &path)
{
    if (account.isSuperuser())
        return true;
    if (!account.known)
        return false;
    const QString trimmed = withoutTrailingSlashes(path);
    return liesInside(trimmed, account.boxRoot)
        || liesInside(trimmed, QFileInfo(account.boxRoot).canonicalFilePath());
}
