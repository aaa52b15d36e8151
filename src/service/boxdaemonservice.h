// SPDX-License-Identifier: GPL-2.0-or-later
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

    // Kept for callers of the published interface; the daemon itself lists through listOpenFiles.
    int get_allFileStatus(const QString &strPath, CBoxFileList &list);

public Q_SLOTS:
    int get_allRunFileList(const QString &strBoxPath, CBoxFileList &list);
    int kill_allProcessSignal(const QString &strBoxPath);
    bool is_certificationRequired(const QString &strUserName);
    int get_certificationInterval(const QString &strUserName);
    int set_certificationInterval(const QString &strUserName, int nInterval);
    void set_certificationPassed(const QString &strUserName);

private:
    // The entry of strUserName, made on first use; only the setters call it.
    CAuthCredService *certificationEntry(const QString &strUserName);
    // Whether the caller may change the entry of strUserName; a refusal is
    // logged as "function[site]", site being the fixed number of the call.
    bool mayChangeCertification(const char *function, int site, const QString &strUserName);

    // The certification unit tests count and tick the entries directly.
    friend class TestCertificationRegistry;

    QMap<QString, CAuthCredService *> m_mapAuthCred;
};
