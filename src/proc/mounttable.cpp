#include "mounttable.h"

#include "ownedfd.h"

#include <QList>

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>

namespace {

// Mount points and roots are written with space, tab, line feed and
// backslash as three octal digits.
QByteArray unescaped(const QByteArray &field)
{
    QByteArray out;
    out.reserve(field.size());
    for (int i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\\' && i + 3 < field.size() && field.at(i + 1) >= '0' && field.at(i + 1) <= '3') {
            out.append(static_cast<char>(((field.at(i + 1) - '0') << 6) | ((field.at(i + 2) - '0') << 3)
                                         | (field.at(i + 3) - '0')));
            i += 3;
            continue;
        }
        out.append(c);
    }
    return out;
}

bool parseLine(const QByteArray &line, MountEntry &entry)
{
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() < 5)
        return false;
    const QList<QByteArray> device = fields.at(2).split(':');
    bool idOk = false, parentOk = false, majorOk = false, minorOk = false;
    entry.id = fields.at(0).toInt(&idOk);
    entry.parentId = fields.at(1).toInt(&parentOk);
    if (device.size() != 2)
        return false;
    const unsigned major = device.at(0).toUInt(&majorOk);
    const unsigned minor = device.at(1).toUInt(&minorOk);
    if (!idOk || !parentOk || !majorOk || !minorOk)
        return false;
    entry.device = makedev(major, minor);
    entry.root = unescaped(fields.at(3));
    entry.mountPoint = unescaped(fields.at(4));
    // The optional fields after the options end at a lone "-"; the type follows.
    const int separator = fields.indexOf("-", 6);
    if (separator > 0 && separator + 1 < fields.size())
        entry.type = fields.at(separator + 1);
    return true;
}

} // namespace

bool MountTable::read(int dirFd, const char *path)
{
    const OwnedFd file(openat(dirFd, path, O_RDONLY | O_CLOEXEC));
    if (!file)
        return false;
    QByteArray text;
    char buffer[16384];
    for (;;) {
        const ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return false;
        if (count == 0)
            break;
        text.append(buffer, static_cast<int>(count));
    }
    parse(text);
    return !m_entries.empty();
}

void MountTable::parse(const QByteArray &text)
{
    m_entries.clear();
    m_byId.clear();
    for (const QByteArray &line : text.split('\n')) {
        MountEntry entry;
        if (line.isEmpty() || !parseLine(line, entry))
            continue;
        m_byId[entry.id] = m_entries.size();
        m_entries.push_back(std::move(entry));
    }
}

const MountEntry *MountTable::byId(int id) const
{
    const auto found = m_byId.find(id);
    return found == m_byId.end() ? nullptr : &m_entries[found->second];
}

const MountEntry *MountTable::containing(const QByteArray &path) const
{
    const MountEntry *best = nullptr;
    for (const MountEntry &entry : m_entries) {
        if (isPathAtOrBelow(path, entry.mountPoint)
            && (!best || entry.mountPoint.size() >= best->mountPoint.size()))
            best = &entry;
    }
    return best;
}

bool isPathAtOrBelow(const QByteArray &path, const QByteArray &base)
{
    if (base == "/")
        return path.startsWith('/');
    return path.startsWith(base) && (path.size() == base.size() || path.at(base.size()) == '/');
}

QByteArray pathBelow(const QByteArray &path, const QByteArray &base)
{
    assert(isPathAtOrBelow(path, base));
    QByteArray rest = path.mid(base == "/" ? 0 : base.size());
    while (rest.startsWith('/'))
        rest.remove(0, 1);
    return rest;
}

QByteArray joinedPath(const QByteArray &base, const QByteArray &relative)
{
    if (relative.isEmpty())
        return base;
    if (base.isEmpty() || base.endsWith('/'))
        return base + relative;
    return base + '/' + relative;
}
