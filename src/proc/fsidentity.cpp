// SPDX-License-Identifier: GPL-2.0-or-later
#include "fsidentity.h"

#include <grp.h>
#include <sys/fsuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace {

uid_t currentFsuid()
{
    return static_cast<uid_t>(setfsuid(static_cast<uid_t>(-1)));
}

gid_t currentFsgid()
{
    return static_cast<gid_t>(setfsgid(static_cast<gid_t>(-1)));
}

bool setThreadGroups(const std::vector<gid_t> &groups)
{
    return syscall(SYS_setgroups, groups.size(), groups.data()) == 0;
}

} // namespace

std::vector<gid_t> supplementaryGroupsOf(const QByteArray &userName, gid_t gid)
{
    std::vector<gid_t> groups(32);
    for (;;) {
        int count = static_cast<int>(groups.size());
        if (getgrouplist(userName.constData(), gid, groups.data(), &count) >= 0) {
            groups.resize(static_cast<std::size_t>(count));
            return groups;
        }
        if (count <= static_cast<int>(groups.size()) || count > 65536)
            return {gid};
        groups.resize(static_cast<std::size_t>(count));
    }
}

ScopedFileSystemIdentity::ScopedFileSystemIdentity(const ExistenceIdentity &identity)
{
    const long count = syscall(SYS_getgroups, 0, nullptr);
    m_savedGroups.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (count < 0 || syscall(SYS_getgroups, m_savedGroups.size(), m_savedGroups.data()) != count)
        return;
    m_groupsSet = setThreadGroups(identity.groups);
    if (!m_groupsSet)
        return;
    m_savedGid = static_cast<gid_t>(setfsgid(identity.gid));
    m_gidSet = true;
    if (currentFsgid() != identity.gid) {
        restore();
        return;
    }
    m_savedUid = static_cast<uid_t>(setfsuid(identity.uid));
    m_uidSet = true;
    if (currentFsuid() != identity.uid) {
        restore();
        return;
    }
    m_inEffect = true;
}

ScopedFileSystemIdentity::~ScopedFileSystemIdentity()
{
    restore();
}

void ScopedFileSystemIdentity::restore()
{
    bool restored = true;
    if (m_uidSet) {
        setfsuid(m_savedUid);
        restored = restored && currentFsuid() == m_savedUid;
    }
    if (m_gidSet) {
        setfsgid(m_savedGid);
        restored = restored && currentFsgid() == m_savedGid;
    }
    if (m_groupsSet)
        restored = restored && setThreadGroups(m_savedGroups);
    m_uidSet = m_gidSet = m_groupsSet = m_inEffect = false;
    if (!restored)
        std::abort();
}

ScopedWithoutCapability::ScopedWithoutCapability(int capability)
{
    if (syscall(SYS_capget, &m_header, m_saved) != 0)
        return;
    __user_cap_data_struct lowered[_LINUX_CAPABILITY_U32S_3];
    std::memcpy(lowered, m_saved, sizeof lowered);
    lowered[capability / 32].effective &= ~(1u << (capability % 32));
    m_inEffect = syscall(SYS_capset, &m_header, lowered) == 0;
    m_lowered = m_inEffect;
    if (!m_inEffect) // not holding it is as good
        m_inEffect = (m_saved[capability / 32].effective & (1u << (capability % 32))) == 0;
}

ScopedWithoutCapability::~ScopedWithoutCapability()
{
    // A thread that cannot get its capability back would fail every scan after.
    if (m_lowered && syscall(SYS_capset, &m_header, m_saved) != 0)
        std::abort();
}
