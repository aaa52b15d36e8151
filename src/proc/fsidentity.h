// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <linux/capability.h>

#include <QByteArray>

#include <sys/types.h>

#include <vector>

// The file-system identity a test runs under for a caller: its uid, its
// primary group and its supplementary groups.
struct ExistenceIdentity
{
    uid_t uid;
    gid_t gid;
    std::vector<gid_t> groups;
};

// The account's groups from the group database, the primary one included.
std::vector<gid_t> supplementaryGroupsOf(const QByteArray &userName, gid_t gid);

// Switches the calling thread's fsuid, fsgid and supplementary groups to the
// identity for as long as it lives. It does not change the real, effective or
// saved ids, nor any other thread's groups (raw system calls: the C library
// would set every thread's). The kernel ignores a switch it does not permit,
// so each part is read back: tookEffect() is false when any did not, and then
// nothing of it is left in place. On leaving it restores the thread's own, or
// ends the process rather than let the thread serve on as the caller.
class ScopedFileSystemIdentity
{
public:
    explicit ScopedFileSystemIdentity(const ExistenceIdentity &identity);
    ~ScopedFileSystemIdentity();
    ScopedFileSystemIdentity(const ScopedFileSystemIdentity &) = delete;
    ScopedFileSystemIdentity &operator=(const ScopedFileSystemIdentity &) = delete;

    bool tookEffect() const { return m_inEffect; }

private:
    void restore();

    std::vector<gid_t> m_savedGroups;
    uid_t m_savedUid = 0;
    gid_t m_savedGid = 0;
    bool m_groupsSet = false;
    bool m_gidSet = false;
    bool m_uidSet = false;
    bool m_inEffect = false;
};

// Drops one capability from the calling thread's effective set for as long
// as it lives (the permitted set keeps it), so that what the kernel lets
// through is what it would let the caller through. The kernel's /proc checks
// (hidepid, the exe link) ask CAP_SYS_PTRACE, which the file-system identity
// leaves in place. Raw system calls: the thread's own capabilities only. On
// leaving it restores them, or ends the process rather than let the thread
// serve on without them.
class ScopedWithoutCapability
{
public:
    explicit ScopedWithoutCapability(int capability);
    ~ScopedWithoutCapability();
    ScopedWithoutCapability(const ScopedWithoutCapability &) = delete;
    ScopedWithoutCapability &operator=(const ScopedWithoutCapability &) = delete;

    // Whether the thread is without it now (also when it never held it).
    bool tookEffect() const { return m_inEffect; }

private:
    __user_cap_header_struct m_header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct m_saved[_LINUX_CAPABILITY_U32S_3] = {};
    bool m_lowered = false;
    bool m_inEffect = false;
};
