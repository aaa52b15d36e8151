// SPDX-License-Identifier: GPL-2.0-or-later
#include "callerprivilege.h"

#include "buscaller.h"
#include "logsites.h"
#include "pathtext.h"
#include "systemlog.h"

#include <QByteArray>

#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr int kLinkTargetSize = 4096;
constexpr int kSmallestOutput = 256;

const char *const kAdmittedPrograms[] = {"/usr/bin/quellard", "/usr/bin/tavrin-quellard"};

bool isAdmittedProgram(const char *path)
{
    for (const char *program : kAdmittedPrograms) {
        if (std::strcmp(path, program) == 0)
            return true;
    }
    return false;
}

} // namespace

int programPathOf(int nPid, char *pBuffer, int nSize)
{
    char linkPath[25] = {};
    if (nSize < kSmallestOutput || !pBuffer)
        return -EINVAL;
    formatFitting(linkPath, sizeof linkPath, "/proc/%d/exe", nPid);

    std::unique_ptr<char[]> target(new (std::nothrow) char[kLinkTargetSize]());
    if (!target)
        return -ENOMEM;
    const ssize_t length = readlink(linkPath, target.get(), kLinkTargetSize);
    if (length < 0)
        return -errno;
    // A target that fills the whole scratch buffer may have been cut: no
    // reliable path, so the read counts as failed.
    if (length >= kLinkTargetSize)
        return -ENAMETOOLONG;

    const auto copied =
        std::min<std::size_t>(static_cast<std::size_t>(length), static_cast<std::size_t>(nSize) - 1);
    std::memcpy(pBuffer, target.get(), copied);
    pBuffer[copied] = '\0';
    return 0;
}

bool isAdmittedBackupCaller(const BusCaller &caller)
{
    // A failed query reads as uid 0 and pid 0, which no program runs as.
    const uint uid = caller.uid;
    const uint pid = static_cast<uint>(caller.pid);

    if (uid != 0) {
        syslog(LOG_INFO, LOG_BACKUP_CALLER_NOT_ROOT, uid);
        return false;
    }

    char programPath[kLinkTargetSize] = {};
    if (programPathOf(static_cast<int>(pid), programPath, sizeof programPath) != 0) {
        syslog(LOG_INFO, LOG_BACKUP_CALLER_NO_PROGRAM, uid);
        return false;
    }
    if (isAdmittedProgram(programPath))
        return true;

    syslog(LOG_INFO, LOG_BACKUP_CALLER_OTHER_PROGRAM, escapedForLog(QByteArray(programPath)).constData());
    return false;
}
