#include "wiretypes.h"

#include <QDBusMetaType>

QDBusArgument &operator<<(QDBusArgument &argument, const BoxFileItem &item)
{
    argument.beginStructure();
    argument << item.strFilePath << item.strRelativePath;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, BoxFileItem &item)
{
    argument.beginStructure();
    argument >> item.strFilePath >> item.strRelativePath;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const CBoxFileList &list)
{
    argument.beginArray(qMetaTypeId<BoxFileItem>());
    for (const BoxFileItem &item : list)
        argument << item;
    argument.endArray();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, CBoxFileList &list)
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

QDBusArgument &operator<<(QDBusArgument &argument, const SFileRules &rules)
{
    argument.beginStructure();
    argument << rules.fileList;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, SFileRules &rules)
{
    argument.beginStructure();
    argument >> rules.fileList;
    argument.endStructure();
    return argument;
}

QDBusArgument &operator<<(QDBusArgument &argument, const CBoxPidList &list)
{
    argument.beginArray(QMetaType::Int);
    for (int pid : list)
        argument << pid;
    argument.endArray();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, CBoxPidList &list)
{
    argument.beginArray();
    list.clear();
    while (!argument.atEnd()) {
        int pid = 0;
        argument >> pid;
        list.append(pid);
    }
    argument.endArray();
    return argument;
}

void registerWireTypes()
{
    qRegisterMetaType<BoxFileItem>("BoxFileItem");
    qDBusRegisterMetaType<BoxFileItem>();
    qRegisterMetaType<CBoxFileList>("CBoxFileList");
    qDBusRegisterMetaType<CBoxFileList>();
    qRegisterMetaType<SFileRules>("SFileRules");
    qDBusRegisterMetaType<SFileRules>();
    qRegisterMetaType<CBoxPidList>("CBoxPidList");
    qDBusRegisterMetaType<CBoxPidList>();
}
