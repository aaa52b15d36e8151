// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <arkvane/boxfiletypes.h>
#include <arkvane/boxholdertypes.h>

#include <QDBusArgument>
#include <QList>
#include <QMetaType>

// BoxFileItem, CBoxFileList and SFileRules, with their operators, are in the
// header installed for clients, and so are the holder records (BoxHolderItem,
// CBoxHolderList and their parts).

using CBoxPidList = QList<int>;

QDBusArgument &operator<<(QDBusArgument &argument, const CBoxPidList &list);
const QDBusArgument &operator>>(const QDBusArgument &argument, CBoxPidList &list);

// An upper bound of the bytes the list takes in a bus message.
qint64 wireSizeOf(const CBoxFileList &list);
qint64 wireSizeOf(const CBoxHolderList &list);

// Registers the types with the meta-type and D-Bus type systems, in the
// order clients and the daemon rely on.
void registerWireTypes();

Q_DECLARE_METATYPE(CBoxPidList)
