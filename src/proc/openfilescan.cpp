// SPDX-License-Identifier: GPL-2.0-or-later
#include "openfilescan.h"

#include "holderscan.h"
#include "scanmessages.h"

#include <QSet>

namespace {

// Collects ids only; a process already in the list is not read again, since
// it could add nothing.
class PidListSink : public HolderSink
{
public:
    explicit PidListSink(QList<int> &pidList) : m_pidList(pidList), m_known(pidList.cbegin(), pidList.cend())
    {
    }

    bool wants(int pid) const override { return !m_known.contains(pid); }

    void take(int pid, int) override
    {
        m_known.insert(pid);
        m_pidList.append(pid);
    }

private:
    QList<int> &m_pidList;
    QSet<int> m_known;
};

} // namespace

int get_allOpenFilePidByPath(const QString &strPath, QList<int> &pidList)
{
    if (strPath.isEmpty()) {
        logEmptyScanPath();
        return -1;
    }
    // The scan fails only before it finds anything, so the list stays
    // untouched on -1. Processes made faster than /proc is read (-EAGAIN)
    // leave the holders found: all that a list can say.
    PidListSink sink(pidList);
    if (const int error = scanHolders(strPath.toUtf8(), sink); error != 0 && error != -EAGAIN) {
        logProcUnreadable(error);
        return -1;
    }
    return 0;
}
