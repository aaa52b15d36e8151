// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxwatches.h"

#include "boxwatch.h"
#include "keptthreads.h"
#include "mounttable.h"
#include "procwalk.h"
#include "scanengine.h"

#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QElapsedTimer>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace {

// The least time between two scans of one box: a box opened and closed in
// a loop costs at most this many scans a second.
constexpr int kScanGapMs = 50;

qint64 nowMs()
{
    static QElapsedTimer clock;
    if (!clock.isValid())
        clock.start();
    return clock.elapsed();
}

// Scans run here, never on the bus thread. Never destroyed: its threads live
// as long as the daemon.
KeptThreads &scanThreads()
{
    static KeptThreads *const threads = new KeptThreads;
    return *threads;
}

class CountingSink : public HolderSink
{
public:
    bool wants(int pid) const override { return pid != m_ownPid; }
    void take(int, int) override { ++count; }
    // It may hold a file in the box: the box is not free.
    void cannotJudge(int) override { ++count; }

    int count = 0;

private:
    int m_ownPid = ownPidInProc();
};

} // namespace

int countHolders(const BoxPath &box)
{
    MountTable mounts;
    if (const int error = mounts.read(AT_FDCWD, "/proc/self/mountinfo"))
        return error;
    CountingSink sink;
    if (const int error = scanHolders(ScannedBox(box, mounts), sink))
        return error;
    return sink.count;
}

BoxWatches::BoxWatches(const QDBusConnection &connection, QString objectPath, QString interface,
                       QObject *parent)
    : QObject(parent), m_connection(connection), m_path(std::move(objectPath)),
      m_interface(std::move(interface)),
      m_owners(
          new QDBusServiceWatcher(QString(), connection, QDBusServiceWatcher::WatchForUnregistration, this)),
      m_watcher(std::make_unique<BoxWatcher>(kernelProgramsForbidden() ? BoxWatcher::Mechanism::Polling
                                                                       : BoxWatcher::Mechanism::Best))
{
    connect(m_owners, &QDBusServiceWatcher::serviceUnregistered, this, &BoxWatches::ownerLeft);
    if (m_watcher->fd() >= 0) {
        m_wakeups = new QSocketNotifier(m_watcher->fd(), QSocketNotifier::Read, this);
        connect(m_wakeups, &QSocketNotifier::activated, this, [this] { m_watcher->drain(); });
    }
}

BoxWatches::~BoxWatches() = default;

QString BoxWatches::mechanism() const
{
    return QString::fromLatin1(m_watcher->mechanism());
}

int BoxWatches::latencyMs() const
{
    return m_watcher->latencyMs();
}

void BoxWatches::forget(std::map<QByteArray, std::unique_ptr<Box>>::iterator box)
{
    if (box->second->watchId >= 0)
        m_watcher->unwatch(box->second->watchId);
    delete box->second->timer;
    m_boxes.erase(box);
}

int BoxWatches::watchesOf(uid_t uid) const
{
    int count = 0;
    for (const auto &box : m_boxes)
        count += static_cast<int>(std::count_if(box.second->watches.begin(), box.second->watches.end(),
                                                [uid](const Watch &watch) { return watch.uid == uid; }));
    return count;
}

int BoxWatches::add(const QString &owner, uid_t uid, const BoxPath &path, const QString &boxText)
{
    if (watchesOf(uid) >= kWatchesPerUid)
        return -EUSERS;
    auto found = m_boxes.find(path.bytes());
    if (found == m_boxes.end()) {
        if (static_cast<int>(m_boxes.size()) >= kWatchedBoxes)
            return -ENOSPC;
        auto box = std::make_unique<Box>(*BoxPath::of(path.bytes()));
        box->timer = new QTimer(this);
        box->timer->setSingleShot(true);
        const QByteArray &key = path.bytes();
        connect(box->timer, &QTimer::timeout, this, [this, key] { startScan(key); });
        // A box on a file system that may stall, or with too many mounts
        // below it, is polled here instead: by scans, which know how not to
        // wait on it.
        box->watchId = m_watcher->watch(path, [this, key] { hint(key); });
        found = m_boxes.emplace(key, std::move(box)).first;
    }
    Box &box = *found->second;
    const Watch watch{m_nextId++, owner, uid, boxText};
    box.watches.push_back(watch);
    m_owners->addWatchedService(owner);
    // What is known already goes to the new watch at once; a scan follows.
    if (box.holders >= 0) {
        send(watch, "boxHoldersChanged", {watch.id, watch.boxText, box.holders});
        if (box.holders == 0)
            send(watch, "boxFreed", {watch.id, watch.boxText});
    }
    scanSoon(box);
    return watch.id;
}

int BoxWatches::remove(const QString &owner, int id)
{
    for (auto it = m_boxes.begin(); it != m_boxes.end(); ++it) {
        std::vector<Watch> &watches = it->second->watches;
        const auto watch = std::find_if(watches.begin(), watches.end(), [&](const Watch &candidate) {
            return candidate.id == id && candidate.owner == owner;
        });
        if (watch == watches.end())
            continue;
        watches.erase(watch);
        if (watches.empty() && !it->second->scanning)
            forget(it);
        return 0;
    }
    return -ENOENT;
}

void BoxWatches::ownerLeft(const QString &owner)
{
    m_owners->removeWatchedService(owner);
    std::vector<std::pair<int, QString>> ended;
    for (const auto &box : m_boxes)
        for (const Watch &watch : box.second->watches)
            if (watch.owner == owner)
                ended.emplace_back(watch.id, owner);
    for (const auto &watch : ended)
        remove(watch.second, watch.first);
}

void BoxWatches::hint(const QByteArray &key)
{
    const auto found = m_boxes.find(key);
    if (found != m_boxes.end())
        scanSoon(*found->second);
}

void BoxWatches::scanSoon(Box &box)
{
    if (box.scanning) {
        box.scanAgain = true;
        return;
    }
    const qint64 wait = box.lastScanMs + kScanGapMs - nowMs();
    if (box.lastScanMs == 0 || wait <= 0) {
        startScan(box.path.bytes());
        return;
    }
    if (!box.timer->isActive() || box.timer->remainingTime() > wait)
        box.timer->start(static_cast<int>(wait));
}

void BoxWatches::startScan(const QByteArray &key)
{
    const auto found = m_boxes.find(key);
    if (found == m_boxes.end())
        return;
    Box &box = *found->second;
    if (box.scanning) {
        box.scanAgain = true;
        return;
    }
    box.timer->stop();
    box.scanning = true;
    box.scanAgain = false;
    box.lastScanMs = std::max<qint64>(nowMs(), 1);
    const bool started = scanThreads().run([this, key] {
        const std::optional<BoxPath> path = BoxPath::of(key);
        const int holders = path ? countHolders(*path) : -EINVAL;
        QMetaObject::invokeMethod(
            this, [this, key, holders] { scanned(key, holders); }, Qt::QueuedConnection);
    });
    if (!started)
        scanned(key, -EAGAIN);
}

void BoxWatches::scanned(const QByteArray &key, int holders)
{
    const auto found = m_boxes.find(key);
    if (found == m_boxes.end())
        return;
    Box &box = *found->second;
    box.scanning = false;
    if (box.watches.empty()) {
        forget(found);
        return;
    }
    const bool changed = holders >= 0 && holders != box.holders;
    if (changed) {
        box.holders = holders;
        // Freed goes at once, the count with it; other counts at most
        // kChangesPerSecond a second.
        if (holders == 0)
            box.lastChangeMs = -1;
        sendChange(box);
        if (holders == 0)
            for (const Watch &watch : box.watches)
                send(watch, "boxFreed", {watch.id, watch.boxText});
    }
    if (box.scanAgain || holders < 0) {
        scanSoon(box);
        return;
    }
    if (box.watchId >= 0)
        return; // the next hint says when to look again
    // A box BoxWatcher cannot watch is polled as it polls.
    box.pollWait = BoxWatcher::nextPollWait(box.pollWait, changed);
    box.timer->start(box.pollWait);
}

void BoxWatches::sendChange(Box &box)
{
    const qint64 now = nowMs();
    const qint64 gap = 1000 / kChangesPerSecond;
    if (box.lastChangeMs >= 0 && now - box.lastChangeMs < gap) {
        if (!box.changePending) {
            box.changePending = true;
            const QByteArray key = box.path.bytes();
            QTimer::singleShot(static_cast<int>(box.lastChangeMs + gap - now), this, [this, key] {
                const auto found = m_boxes.find(key);
                if (found == m_boxes.end() || !found->second->changePending)
                    return;
                found->second->changePending = false;
                sendChange(*found->second);
            });
        }
        return;
    }
    box.changePending = false;
    box.lastChangeMs = now;
    for (const Watch &watch : box.watches)
        send(watch, "boxHoldersChanged", {watch.id, watch.boxText, box.holders});
}

void BoxWatches::send(const Watch &watch, const char *name, const QList<QVariant> &arguments)
{
    QDBusMessage signal =
        QDBusMessage::createTargetedSignal(watch.owner, m_path, m_interface, QString::fromLatin1(name));
    signal.setArguments(arguments);
    m_connection.send(signal);
}
