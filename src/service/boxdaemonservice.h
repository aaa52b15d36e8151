#pragma once

#include "wiretypes.h"

#include <QDBusContext>
#include <QMap>
#include <QObject>
#include <QString>

class CAuthCredService;

// The object behind "/logfile": open-file listing, ending box processes and
// the per-user re-authentication registry.
class BoxDaemonService : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    explicit BoxDaemonService(QObject *parent = nullptr);
    ~BoxDaemonService() override;

    int get_allFileStatus(const QString &strPath, CBoxFileList &list);

public Q_SLOTS:
    int get_allRunFileList(const QString &strBoxPath, CBoxFileList &list);
    int kill_allProcessSignal(const QString &strBoxPath);
    bool is_certificationRequired(const QString &strUserName);
    int get_certificationInterval(const QString &strUserName);
    int set_certificationInterval(const QString &strUserName, int nInterval);
    void set_certificationPassed(const QString &strUserName);

private:
    QMap<QString, CAuthCredService *> m_mapAuthCred;
};
