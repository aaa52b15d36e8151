// SPDX-License-Identifier: GPL-2.0-or-later
// The three proxies in one program, the listing read as CBoxFileList and the
// holders as CBoxHolderList.
#include "activityproxy.h"
#include "backupproxy.h"
#include "logfileproxy.h"

int main()
{
    registerBoxFileTypes();
    registerBoxHolderTypes();
    const QString service = QStringLiteral("com.tavrin.arkvane");
    ComTavrinArkvaneInterface logfile(service, QStringLiteral("/logfile"), QDBusConnection::systemBus());
    ComTavrinArkvaneBackupInterface backup(service, QStringLiteral("/backup"), QDBusConnection::systemBus());
    QDBusPendingReply<int, CBoxFileList> listing = logfile.get_allRunFileList(QStringLiteral("/root/.box"));
    const CBoxFileList files = listing.argumentAt<1>();
    ComTavrinArkvaneActivityInterface activity(service, QStringLiteral("/activity"),
                                               QDBusConnection::systemBus());
    QDBusPendingReply<int, CBoxHolderList> holders = activity.get_boxHolders(QStringLiteral("/root/.box"));
    const int held = holders.argumentAt<1>().isEmpty() ? 0 : holders.argumentAt<1>().first().files.size();
    return files.isEmpty() && backup.isValid() ? held : files.first().strRelativePath.size();
}
