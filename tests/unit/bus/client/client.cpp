// Both proxies in one program, the listing read as CBoxFileList.
#include "backupproxy.h"
#include "logfileproxy.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    registerBoxFileTypes();
    const QString service = QStringLiteral("com.tavrin.arkvane");
    ComTavrinArkvaneInterface logfile(service, QStringLiteral("/logfile"), QDBusConnection::systemBus());
    ComTavrinArkvaneBackupInterface backup(service, QStringLiteral("/backup"), QDBusConnection::systemBus());
    QDBusPendingReply<int, CBoxFileList> listing = logfile.get_allRunFileList(QString::fromLocal8Bit(argv[argc - 1]));
    listing.waitForFinished();
    for (const BoxFileItem &item : listing.argumentAt<1>())
        std::printf("%s\n", qPrintable(item.strRelativePath));
    return listing.isError() || !backup.isValid() ? 1 : listing.argumentAt<0>();
}
