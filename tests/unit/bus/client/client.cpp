// SPDX-License-Identifier: GPL-2.0-or-later
// Both proxies in one program, the listing read as CBoxFileList.
#include "backupproxy.h"
#include "logfileproxy.h"

int main()
{
    registerBoxFileTypes();
    const QString service = QStringLiteral("com.tavrin.arkvane");
    ComTavrinArkvaneInterface logfile(service, QStringLiteral("/logfile"), QDBusConnection::systemBus());
    ComTavrinArkvaneBackupInterface backup(service, QStringLiteral("/backup"), QDBusConnection::systemBus());
    QDBusPendingReply<int, CBoxFileList> listing = logfile.get_allRunFileList(QStringLiteral("/root/.box"));
    const CBoxFileList files = listing.argumentAt<1>();
    return files.isEmpty() && backup.isValid() ? 0 : files.first().strRelativePath.size();
}
