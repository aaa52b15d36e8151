// SPDX-License-Identifier: GPL-2.0-or-later
// The textual side of a box path: trailing slashes trimmed, the match prefix
// made, the part that does not exist cleaned as text, paths compared and
// joined by whole components.
#include "boxpath.h"
#include "fuzztarget.h"
#include "mounttable.h"
#include "pathtext.h"
#include "safepath.h"

#include <QList>
#include <QString>

#include <algorithm>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    const QString text = QString::fromUtf8(bytes);
    const QString trimmed = withoutTrailingSlashes(text);
    FUZZ_CHECK(!trimmed.endsWith(QLatin1Char('/')) && text.startsWith(trimmed));
    const QString prefix = format_boxPath(text);
    FUZZ_CHECK(prefix.isEmpty() ? trimmed.isEmpty() : prefix == trimmed + QLatin1Char('/'));

    const QByteArray cleaned = joinedAsText(QByteArray(), bytes.split('/'));
    FUZZ_CHECK(cleaned.startsWith('/') && !cleaned.contains("//"));
    FUZZ_CHECK(cleaned == "/" || !cleaned.endsWith('/'));
    for (const QByteArray &name : cleaned.mid(1).split('/'))
        FUZZ_CHECK(name != "." && name != ".." && (cleaned == "/" || !name.isEmpty()));
    // What lies below a base is the base joined with what was taken off.
    const int half = cleaned.size() / 2;
    const QByteArray base = cleaned.left(std::max(1, cleaned.lastIndexOf('/', half)));
    if (isPathAtOrBelow(cleaned, base))
        FUZZ_CHECK(joinedPath(base, pathBelow(cleaned, base)) == cleaned);
    return 0;
}
