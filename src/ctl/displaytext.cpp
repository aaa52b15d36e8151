#include "displaytext.h"

#include <QVector>

#include <algorithm>
#include <cwchar>

QString printable(const QString &text)
{
    QString shown;
    shown.reserve(text.size());
    for (const QChar c : text) {
        const ushort code = c.unicode();
        if (code == '\n')
            shown += QLatin1String("\\n");
        else if (code == '\t')
            shown += QLatin1String("\\t");
        else if (code < 0x20 || code == 0x7f || (code >= 0x80 && code < 0xa0))
            shown += QStringLiteral("\\x%1").arg(code, 2, 16, QLatin1Char('0'));
        else
            shown += c;
    }
    return shown;
}

int displayWidth(const QString &text)
{
    int width = 0;
    for (const uint code : text.toUcs4()) {
        const int cells = wcwidth(static_cast<wchar_t>(code));
        width += cells < 0 ? 1 : cells;
    }
    return width;
}

QStringList alignedRows(const QList<QStringList> &rows, int width)
{
    int columnCount = 0;
    for (const QStringList &row : rows)
        columnCount = std::max(columnCount, static_cast<int>(row.size()));
    QVector<int> columnWidths(columnCount, 0);
    const int widest = std::max(1, width / 2);
    for (const QStringList &row : rows) {
        for (int i = 0; i + 1 < row.size(); ++i)
            columnWidths[i] = std::min(widest, std::max(columnWidths[i], displayWidth(row.at(i))));
    }
    QStringList lines;
    for (const QStringList &row : rows) {
        QString line;
        for (int i = 0; i < row.size(); ++i) {
            line += row.at(i);
            if (i + 1 < row.size()) {
                const int padding = std::max(0, columnWidths[i] - displayWidth(row.at(i)));
                line += QString(padding + 2, QLatin1Char(' '));
            }
        }
        lines.append(line);
    }
    return lines;
}

QString countOf(int count, const QString &singular, const QString &plural)
{
    return QStringLiteral("%1 %2").arg(count).arg(count == 1 ? singular : plural);
}
