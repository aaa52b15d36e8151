// SPDX-License-Identifier: GPL-2.0-or-later
// The record types of the box daemon's interface com.tavrin.arkvane.activity,
// for Qt clients: the second out argument of get_boxHolders, a(ixussa(ss)),
// read as CBoxHolderList (the interface description names it in its type
// annotation).
//
// Installed as <arkvane/boxholdertypes.h>. Call registerBoxHolderTypes() once
// before the first call, and give qdbusxml2cpp -N and -i arkvane/boxholdertypes.h.
#pragma once

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QList>
#include <QMetaType>
#include <QString>

// One file a holder holds inside the box, (ss).
struct BoxHeldFile
{
    QString strRelativePath; // the path inside the box, as get_allRunFileList gives it
    QString strMode;         // "r", "w", "rw", or "" for a descriptor that neither reads nor writes
};

using CBoxHeldFileList = QList<BoxHeldFile>;

// One process holding files inside the box, (ixussa(ss)).
struct BoxHolderItem
{
    int nPid = 0;
    qint64 nStartTime = 0; // nanoseconds after boot (CLOCK_BOOTTIME), to the clock tick
    uint nUid = 0;         // the real uid
    QString strName;       // its comm
    QString strExecutable; // empty when the caller may not read the process's exe link
    CBoxHeldFileList files;
};

using CBoxHolderList = QList<BoxHolderItem>;

Q_DECLARE_METATYPE(BoxHeldFile)
Q_DECLARE_METATYPE(CBoxHeldFileList)
Q_DECLARE_METATYPE(BoxHolderItem)
Q_DECLARE_METATYPE(CBoxHolderList)

inline QDBusArgument &operator<<(QDBusArgument &argument, const BoxHeldFile &file)
{
    argument.beginStructure();
    argument << file.strRelativePath << file.strMode;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, BoxHeldFile &file)
{
    argument.beginStructure();
    argument >> file.strRelativePath >> file.strMode;
    argument.endStructure();
    return argument;
}

inline QDBusArgument &operator<<(QDBusArgument &argument, const BoxHolderItem &item)
{
    argument.beginStructure();
    argument << item.nPid << item.nStartTime << item.nUid << item.strName << item.strExecutable << item.files;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, BoxHolderItem &item)
{
    argument.beginStructure();
    argument >> item.nPid >> item.nStartTime >> item.nUid >> item.strName >> item.strExecutable >> item.files;
    argument.endStructure();
    return argument;
}

// Registers the four types with the meta-type and D-Bus type systems, each
// before the types whose signatures are made from it.
inline void registerBoxHolderTypes()
{
    qRegisterMetaType<BoxHeldFile>("BoxHeldFile");
    qDBusRegisterMetaType<BoxHeldFile>();
    qRegisterMetaType<CBoxHeldFileList>("CBoxHeldFileList");
    qDBusRegisterMetaType<CBoxHeldFileList>();
    qRegisterMetaType<BoxHolderItem>("BoxHolderItem");
    qDBusRegisterMetaType<BoxHolderItem>();
    qRegisterMetaType<CBoxHolderList>("CBoxHolderList");
    qDBusRegisterMetaType<CBoxHolderList>();
}
