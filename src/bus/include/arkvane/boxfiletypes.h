// SPDX-License-Identifier: GPL-2.0-or-later
// The record types of the box daemon's interface com.tavrin.arkvane, for Qt
// clients: the second out argument of get_allRunFileList, a(ss), read as
// CBoxFileList (the interface description names it in its type annotation).
//
// Installed as <arkvane/boxfiletypes.h>. Call registerBoxFileTypes() once
// before the first call, and give qdbusxml2cpp -N (no namespaces: the two
// interfaces' would clash) and -i arkvane/boxfiletypes.h.
#pragma once

#include <QDBusArgument>
#include <QDBusMetaType>
#include <QList>
#include <QMetaType>
#include <QString>

// One file inside a box that some process holds open.
struct BoxFileItem
{
    QString strFilePath;     // the full path
    QString strRelativePath; // the path inside the box
};

using CBoxFileList = QList<BoxFileItem>;

// A file list wrapped in a structure, (a(ss)).
struct SFileRules
{
    CBoxFileList fileList;
};

Q_DECLARE_METATYPE(BoxFileItem)
Q_DECLARE_METATYPE(CBoxFileList)
Q_DECLARE_METATYPE(SFileRules)

inline QDBusArgument &operator<<(QDBusArgument &argument, const BoxFileItem &item)
{
    argument.beginStructure();
    argument << item.strFilePath << item.strRelativePath;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, BoxFileItem &item)
{
    argument.beginStructure();
    argument >> item.strFilePath >> item.strRelativePath;
    argument.endStructure();
    return argument;
}

inline QDBusArgument &operator<<(QDBusArgument &argument, const CBoxFileList &list)
{
    argument.beginArray(qMetaTypeId<BoxFileItem>());
    for (const BoxFileItem &item : list)
        argument << item;
    argument.endArray();
    return argument;
}

// Replaces what list held.
inline const QDBusArgument &operator>>(const QDBusArgument &argument, CBoxFileList &list)
{
    argument.beginArray();
    list.clear();
    while (!argument.atEnd()) {
        BoxFileItem item;
        argument >> item;
        list.append(item);
    }
    argument.endArray();
    return argument;
}

inline QDBusArgument &operator<<(QDBusArgument &argument, const SFileRules &rules)
{
    argument.beginStructure();
    argument << rules.fileList;
    argument.endStructure();
    return argument;
}

inline const QDBusArgument &operator>>(const QDBusArgument &argument, SFileRules &rules)
{
    argument.beginStructure();
    argument >> rules.fileList;
    argument.endStructure();
    return argument;
}

// Registers the three types with the meta-type and D-Bus type systems; the
// item first, since the list's signature is made from it.
inline void registerBoxFileTypes()
{
    qRegisterMetaType<BoxFileItem>("BoxFileItem");
    qDBusRegisterMetaType<BoxFileItem>();
    qRegisterMetaType<CBoxFileList>("CBoxFileList");
    qDBusRegisterMetaType<CBoxFileList>();
    qRegisterMetaType<SFileRules>("SFileRules");
    qDBusRegisterMetaType<SFileRules>();
}
