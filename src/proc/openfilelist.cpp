#include "openfilelist.h"

#include "bytestringset.h"
#include "direntries.h"
#include "ownedfd.h"
#include "scanmessages.h"
#include "utf8text.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/fsuid.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

// Whether something exists at the path, following symbolic links. Cached
// attributes are enough and nothing is mounted, so a stalled file system in
// a box cannot hold the daemon here.
bool existsAt(const char *path)
{
    struct statx attributes {};
    return statx(AT_FDCWD, path, AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT, STATX_TYPE, &attributes)
        == 0;
}

std::string_view bytesOf(const QByteArray &bytes)
{
    return std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

// The list being filled, with a hash set of its full paths (UTF-8) beside it
// so that a repeated file costs one lookup, not a pass over the list.
class ListedFiles
{
public:
    ListedFiles(const QByteArray &prefix, CBoxFileList &list,
                std::optional<ExistenceIdentity> identity)
        : m_prefixTextLength(QString::fromUtf8(prefix).size()), m_list(list), m_identity(identity)
    {
        for (const BoxFileItem &item : list) {
            const QByteArray path = item.strFilePath.toUtf8();
            if (!path.isEmpty() && !m_listed.contains(bytesOf(path)))
                m_listed.insert(bytesOf(path));
        }
    }

    // target holds length bytes and room for a terminating zero after them.
    void offer(char *target, int length)
    {
        if (m_listed.contains(std::string_view(target, static_cast<std::size_t>(length))))
            return;
        target[length] = '\0';
        // The path is the target as text: bytes that are no valid UTF-8 stand
        // for U+FFFD, and the file is looked for under that text.
        std::string_view path(target, static_cast<std::size_t>(length));
        QByteArray repaired;
        if (!isWellFormedUtf8(target, length)) {
            repaired = QString::fromUtf8(target, length).toUtf8();
            path = bytesOf(repaired);
            if (m_listed.contains(path))
                return;
        }
        if (m_identity) {
            // Tested together once the walk is done, under the caller's identity.
            m_listed.insert(path);
            m_candidates.emplace_back(path);
            return;
        }
        // Both target and repaired end in a zero byte.
        if (!existsAt(path.data()))
            return;
        m_listed.insert(path);
        append(path);
    }

    // Tests the candidates kept for a caller with the caller's file-system
    // identity (this thread only), then takes the daemon's back.
    void finish()
    {
        if (m_candidates.empty())
            return;
        const auto previousGid = static_cast<gid_t>(setfsgid(m_identity->gid));
        const auto previousUid = static_cast<uid_t>(setfsuid(m_identity->uid));
        for (const std::string &path : m_candidates) {
            if (existsAt(path.c_str()))
                append(path);
        }
        setfsuid(previousUid);
        setfsgid(previousGid);
    }

private:
    void append(std::string_view path)
    {
        const QString strFilePath = QString::fromUtf8(path.data(), static_cast<int>(path.size()));
        m_list.append(BoxFileItem{strFilePath, strFilePath.mid(m_prefixTextLength)});
    }

    int m_prefixTextLength;
    CBoxFileList &m_list;
    std::optional<ExistenceIdentity> m_identity;
    ByteStringSet m_listed;
    std::vector<std::string> m_candidates;
};

} // namespace

bool collectOpenFiles(const QByteArray &prefix, CBoxFileList &list,
                      std::optional<ExistenceIdentity> identity)
{
    if (prefix.isEmpty())
        return true;
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    if (!proc)
        return false;

    ListedFiles listed(prefix, list, identity);
    const std::unique_ptr<char[]> buffers(new char[2 * kDirEntriesBufferSize]);
    char target[kListingLinkBufferSize + 1];
    const int prefixSize = prefix.size();
    DirEntries entries(proc.get(), buffers.get(), kDirEntriesBufferSize);
    unsigned char type = DT_UNKNOWN;
    while (const char *name = entries.next(&type)) {
        // Every entry whose descriptor directory opens is read, "self"
        // included; plain files have none.
        if (type == DT_REG)
            continue;
        char fdDirPath[kFdDirPathSize];
        if (!fdDirPathOf(name, fdDirPath))
            continue;
        const OwnedFd fdDir(openat(proc.get(), fdDirPath, kDirOpenFlags));
        if (!fdDir)
            continue;
        DirEntries descriptors(fdDir.get(), buffers.get() + kDirEntriesBufferSize,
                               kDirEntriesBufferSize);
        while (const char *descriptor = descriptors.next()) {
            const ssize_t length =
                readlinkat(fdDir.get(), descriptor, target, kListingLinkBufferSize);
            if (length < prefixSize || std::memcmp(target, prefix.constData(), prefixSize) != 0)
                continue;
            listed.offer(target, static_cast<int>(length));
        }
    }
    listed.finish();
    return true;
}

int list_openFilesByPath(const QString &strPath, CBoxFileList &list,
                         std::optional<ExistenceIdentity> identity)
{
    if (strPath.isEmpty()) {
        logEmptyScanPath();
        return -1;
    }
    if (!collectOpenFiles(strPath.toUtf8(), list, identity)) {
        logProcUnreadable();
        return -1;
    }
    return 0;
}
