#include "boxrootprobe.h"

#include "callqueue.h"

#include <QtGlobal>

#include <map>
#include <system_error>
#include <thread>

namespace {

// Tests shorten the call deadline, and the bound with it, so that a stalled
// look-up needs no long wait.
int boundFromDeadline()
{
    bool ok = false;
    const int deadlineMs = qEnvironmentVariableIntValue("ARKVANE_TEST_CALL_DEADLINE_MS", &ok);
    return (ok && deadlineMs > 0 && deadlineMs <= CallQueue::kDeadlineMs ? deadlineMs : CallQueue::kDeadlineMs) / 10;
}

struct StalledPaths
{
    std::mutex mutex;
    std::map<QByteArray, int> lookUpsUnderWay; // two calls may both have stalled on a path
};

StalledPaths &stalledPaths()
{
    // Never destroyed: a stalled thread may return while the process exits.
    static StalledPaths *paths = new StalledPaths();
    return *paths;
}

} // namespace

int boxRootProbeBoundMs()
{
    static const int boundMs = boundFromDeadline();
    return boundMs;
}

namespace boxrootprobe {

bool isKnownToStall(const QByteArray &path)
{
    StalledPaths &stalled = stalledPaths();
    const std::lock_guard<std::mutex> lock(stalled.mutex);
    return stalled.lookUpsUnderWay.count(path) != 0;
}

void markStalled(const QByteArray &path)
{
    StalledPaths &stalled = stalledPaths();
    const std::lock_guard<std::mutex> lock(stalled.mutex);
    ++stalled.lookUpsUnderWay[path];
}

void forgetStalled(const QByteArray &path)
{
    StalledPaths &stalled = stalledPaths();
    const std::lock_guard<std::mutex> lock(stalled.mutex);
    const auto found = stalled.lookUpsUnderWay.find(path);
    if (found != stalled.lookUpsUnderWay.end() && --found->second == 0)
        stalled.lookUpsUnderWay.erase(found);
}

bool startThread(std::function<void()> job)
{
    try {
        std::thread(std::move(job)).detach();
        return true;
    } catch (const std::system_error &) {
        return false;
    }
}

} // namespace boxrootprobe
