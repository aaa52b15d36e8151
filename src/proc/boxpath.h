// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

// A box as every scan, kill and wipe takes it: the bytes of its path, without
// a trailing "/", never empty nor "/". Made once per call, from the path the
// caller's resolution gave, or from the open box directory itself (the wipe),
// which is then kept so that the kernel engine opens nothing by path again.
// The text with "/" appended (the match prefix of the published interface)
// is made only where that interface's text is wanted.
class BoxPath
{
public:
    // The path with its trailing slashes trimmed; nothing for one that names
    // no box (empty, or only slashes, which would otherwise match every
    // descriptor).
    static std::optional<BoxPath> of(const QByteArray &path);

    // The box a match prefix names, as the published scans take it: the text
    // with exactly one "/" after the box path. Nothing for any other text
    // ("/" alone, a doubled slash at the end, no slash), which no
    // descriptor's target can begin with as a box's.
    static std::optional<BoxPath> ofPrefix(const QByteArray &prefix);

    // The open directory dirFd (borrowed: it must outlive the BoxPath), named
    // as the kernel names it; nothing when the kernel cannot say (deleted,
    // unreachable from the daemon's root, too long).
    static std::optional<BoxPath> ofOpenDirectory(int dirFd);

    const QByteArray &bytes() const { return m_bytes; }
    // Whether the path is in the only form the kernel prints a path (see
    // isCanonicalPath): a box path in another form can hold nothing.
    bool isCanonical() const { return m_canonical; }
    // Opens `relative` (a path inside the box; empty for the box itself)
    // with flags, from the box directory its maker opened, else by the whole
    // path from "/": either way no symbolic link is followed, on the way or at
    // the end (openBeneathNoLinks), so a link a user swapped in after the
    // box was resolved leads nowhere. The descriptor, or -errno.
    int openBelow(const QByteArray &relative, int flags) const;

private:
    BoxPath(QByteArray bytes, int directory);

    QByteArray m_bytes;
    bool m_canonical = false;
    int m_directory = -1;
};

// Whether path is absolute, with no "." or ".." component, no doubled slash
// and no trailing one: the only form in which the kernel prints a path.
bool isCanonicalPath(const QByteArray &path);

// The prefix against which descriptor targets are matched: the box path with
// its trailing slashes trimmed and one "/" appended. Empty for an empty path
// and for one made only of slashes, which would otherwise match everything.
QString format_boxPath(const QString &strPath);
