#pragma once

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

// Takes on the identity's fsuid, fsgid and groups for the calling thread
// only (raw system calls: the C library would change every thread's groups),
// and gives the thread its own back when it goes. The kernel ignores a
// switch it does not permit, so each part is read back: tookEffect() is
// false when any did not, and then nothing of it is left in place. A restore
// that fails ends the process rather than let the thread serve on with a
// caller's identity.
class FsIdentitySwitch
{
public:
    explicit FsIdentitySwitch(const ExistenceIdentity &identity);
    ~FsIdentitySwitch();
    FsIdentitySwitch(const FsIdentitySwitch &) = delete;
    FsIdentitySwitch &operator=(const FsIdentitySwitch &) = delete;

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
