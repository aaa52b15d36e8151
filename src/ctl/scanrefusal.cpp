#include "scanrefusal.h"

#include "displaytext.h"

QString explainScanFailure(const QString &boxPath, const OwnAccount &account)
{
    if (!account.isSuperuser() && !account.known) {
        return QStringLiteral("refused: uid %1 has no entry in the password database, so it has no box")
            .arg(account.uid);
    }
    if (!servesPathFor(account, boxPath)) {
        return QStringLiteral("refused: %1 is not inside your box %2")
            .arg(printable(boxPath), printable(account.boxRoot));
    }
    if (withoutTrailingSlashes(boxPath) == QLatin1String("/"))
        return QStringLiteral("refused: / is not a box (it would match every open file)");
    return QStringLiteral("arkvaned could not read /proc");
}
