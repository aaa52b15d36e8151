#pragma once

#include "ownedfd.h"

#include <QByteArray>

// A process found holding a file below a prefix, with its /proc directory
// open: that descriptor pins the very process whose descriptors were read,
// so a signal sent through it cannot reach a later process that was given
// the same number.
struct HolderProcess
{
    int pid = 0;
    OwnedFd procDir;
};

// Receives the processes a scan finds.
class HolderSink
{
public:
    virtual ~HolderSink() = default;

    // Whether the scan should read this process's descriptors at all.
    virtual bool wants(int pid) const = 0;
    // fdDir is the process's open "fd" directory, valid during the call only;
    // holderOf() turns it into a HolderProcess.
    virtual void take(int pid, int fdDir) = 0;
    // Called when an open fails with EMFILE: close what can be closed. True
    // when something was, so that the open is worth trying again.
    virtual bool releaseDescriptors() { return false; }
};

// The process whose "fd" directory fdDir is, with its /proc directory opened
// as the parent of fdDir (not by number, which may already name another
// process). procDir stays closed when the process has ended.
HolderProcess holderOf(int pid, int fdDir, HolderSink &sink);

// Link-target bytes the holder scan reads. A buffer shorter than a box path
// would let a process below a long box path go unnoticed while the kill still
// reports success, so it holds any path the kernel gives.
constexpr int kHolderLinkBufferSize = 4096;

// Walks /proc and hands sink every process with a descriptor whose target
// begins with prefix (byte comparison), in the order /proc lists them,
// reading each process's descriptors only up to its first match. An empty
// prefix matches nothing. False when /proc cannot be opened.
bool scanHolders(const QByteArray &prefix, HolderSink &sink);
