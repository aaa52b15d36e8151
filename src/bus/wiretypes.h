#pragma once

#include <QDBusArgument>
#include <QList>
#include <QMetaType>
#include <QString>

// One file inside a box that some process holds open.
struct BoxFileItem
{
    QString strFilePath;
    QString strRelativePath;
};

using CBoxFileList = QList<BoxFileItem>;

struct SFileRules
{
    CBoxFileList fileList;
};

using CBoxPidList = QList<int>;

QDBusArgument &operator<<(QDBusArgument &argument, const BoxFileItem &item);
const QDBusArgument &operator>>(const QDBusArgument &argument, BoxFileItem &item);
QDBusArgument &operator<<(QDBusArgument &argument, const CBoxFileList &list);
const QDBusArgument &operator>>(const QDBusArgument &argument, CBoxFileList &list);
QDBusArgument &operator<<(QDBusArgument &argument, const SFileRules &rules);
const QDBusArgument &operator>>(const QDBusArgument &argument, SFileRules &rules);
QDBusArgument &operator<<(QDBusArgument &argument, const CBoxPidList &list);
const QDBusArgument &operator>>(const QDBusArgument &argument, CBoxPidList &list);

// An upper bound of the bytes the list takes in a bus message.
qint64 wireSizeOf(const CBoxFileList &list);

// Registers the four types with the meta-type and D-Bus type systems, in
// the order clients and the daemon rely on.
void registerWireTypes();

Q_DECLARE_METATYPE(BoxFileItem)
Q_DECLARE_METATYPE(CBoxFileList)
Q_DECLARE_METATYPE(SFileRules)
Q_DECLARE_METATYPE(CBoxPidList)
