// SPDX-License-Identifier: GPL-2.0-or-later
#include "wiretypes.h"

#include <QDBusMetaType>

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
    registerBoxFileTypes();
    registerBoxHolderTypes();
    qRegisterMetaType<CBoxPidList>("CBoxPidList");
    qDBusRegisterMetaType<CBoxPidList>();
}

namespace {

// Bytes of a D-Bus string: length word, UTF-8 text, terminating zero, and
// up to three bytes of padding before the next word.
qint64 wireSizeOf(const QString &text)
{
    qint64 utf8 = 0;
    for (const QChar c : text) {
        // A surrogate pair's four bytes, and a lone surrogate's replacement
        // character, are within three per unit.
        const ushort unit = c.unicode();
        utf8 += unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
    }
    return 4 + utf8 + 1 + 3;
}

} // namespace

qint64 wireSizeOf(const CBoxFileList &list)
{
    // Array length word, then per item an eight-byte aligned structure.
    qint64 bytes = 4 + 4;
    for (const BoxFileItem &item : list)
        bytes += 8 + wireSizeOf(item.strFilePath) + wireSizeOf(item.strRelativePath);
    return bytes;
}

qint64 wireSizeOf(const CBoxHolderList &list)
{
    qint64 bytes = 4 + 4;
    for (const BoxHolderItem &item : list) {
        // Aligned structure, pid, padding, start time, uid, two strings and
        // the files' array (its length word and alignment).
        bytes += 8 + 8 + 8 + 4 + wireSizeOf(item.strName) + wireSizeOf(item.strExecutable) + 8;
        for (const BoxHeldFile &file : item.files)
            bytes += 8 + wireSizeOf(file.strRelativePath) + wireSizeOf(file.strMode);
    }
    return bytes;
}
