// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxpath.h"

#include <QByteArray>
#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <vector>

class BoxWatcher;
class QDBusServiceWatcher;
class QSocketNotifier;
class QTimer;

// The watches bus clients keep on their boxes, and the two signals a watch
// sends its owner alone: "boxHoldersChanged" (the number of processes
// holding files in the box; at most kChangesPerSecond a second) and
// "boxFreed" (no process holds anything in the box any more).
//
// A hint that a box may have changed (from BoxWatcher: the kernel's hooks on
// descriptors opened and closed, or its polling of /proc; for a box it
// cannot watch, a box on a file system that may stall, a timer here that
// backs off while nothing changes) only makes the daemon look: every signal follows a scan of the
// box's holders by the engine that serves the listing and the kill, and
// "boxFreed" is sent only when a scan that read every process found none.
// Scans run on threads of their own, one box at a time per box, never on the
// bus thread. A watch ends when its owner cancels it or leaves the bus.
class BoxWatches : public QObject
{
    Q_OBJECT
public:
    static constexpr int kWatchesPerUid = 8;
    static constexpr int kWatchedBoxes = 64;
    static constexpr int kChangesPerSecond = 4;

    BoxWatches(const QDBusConnection &connection, QString objectPath, QString interface,
               QObject *parent = nullptr);
    ~BoxWatches() override;

    // Starts a watch of box for the bus connection owner (a unique name) of
    // uid; boxText is the box as the signals name it. The watch's id (> 0),
    // or -EUSERS when uid keeps kWatchesPerUid watches already, -ENOSPC when
    // kWatchedBoxes boxes are watched. Its first scan reports the box's
    // state at once: "boxHoldersChanged", then "boxFreed" when it is free.
    int add(const QString &owner, uid_t uid, const BoxPath &box, const QString &boxText);

    // Ends owner's watch id: 0, or -ENOENT when owner keeps no such watch.
    int remove(const QString &owner, int id);

    // How changes are noticed ("bpf" or "polling", see BoxWatcher), and the
    // longest time from a change to its hint.
    QString mechanism() const;
    int latencyMs() const;

    // The box (its bytes) may have changed: looked at soon, at most
    // kScansPerSecond times a second.
    void hint(const QByteArray &box);

private:
    struct Watch
    {
        int id = 0;
        QString owner;
        uid_t uid = 0;
        QString boxText;
    };
    struct Box
    {
        explicit Box(BoxPath at) : path(std::move(at)) {}
        BoxPath path;
        std::vector<Watch> watches;
        int holders = -1;         // as the last scan that read every process found; -1 before it
        bool scanning = false;    // a scan of this box runs
        bool scanAgain = false;   // a hint came while it ran
        qint64 lastScanMs = 0;    // when the last scan began
        qint64 lastChangeMs = -1; // when "boxHoldersChanged" was last sent
        bool changePending = false;
        int watchId = -1;                      // BoxWatcher's; -1: this box is polled by the timer
        std::chrono::milliseconds pollWait{0}; // the timer's interval now
        QTimer *timer = nullptr;
    };

    void forget(std::map<QByteArray, std::unique_ptr<Box>>::iterator box);
    void scanSoon(Box &box);
    void startScan(const QByteArray &key);
    void scanned(const QByteArray &key, int holders);
    void sendChange(Box &box);
    void send(const Watch &watch, const char *name, const QList<QVariant> &arguments);
    void ownerLeft(const QString &owner);
    int watchesOf(uid_t uid) const;

    QDBusConnection m_connection;
    QString m_path;
    QString m_interface;
    QDBusServiceWatcher *m_owners;
    std::unique_ptr<BoxWatcher> m_watcher;
    QSocketNotifier *m_wakeups = nullptr;
    std::map<QByteArray, std::unique_ptr<Box>> m_boxes;
    int m_nextId = 1;
};

// The processes holding files inside box, by the engine that serves the
// listing: their number, or -errno when it could not be told (-EAGAIN:
// processes were made faster than /proc could be read). The daemon's own
// process is not counted.
int countHolders(const BoxPath &box);
