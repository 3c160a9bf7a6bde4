#include "logmodel.h"

#include <algorithm>

int LogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant LogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_lines.size())
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return m_lines.at(index.row());
    if (role == TimeRole)
        return m_times.at(index.row());
    return {};
}

void LogModel::append(const QStringList &lines, const QList<QTime> &times)
{
    Q_ASSERT(lines.size() == times.size());
    if (lines.isEmpty())
        return;
    const int first = int(m_lines.size());
    beginInsertRows(QModelIndex(), first, first + int(lines.size()) - 1);
    m_lines += lines;
    m_times += times;
    for (const QString &line : lines)
        m_chars += line.size();
    endInsertRows();
}

int LogModel::keepNewest(int lines, qsizetype chars)
{
    const int count = int(m_lines.size());
    int excess = std::max(count - lines, 0);
    qsizetype kept = m_chars;
    for (int i = 0; i < count; ++i) {
        if (i >= excess) {
            if (kept <= chars || i == count - 1)
                break;
            ++excess;
        }
        kept -= m_lines.at(i).size();
    }
    if (excess == 0)
        return 0;
    beginRemoveRows(QModelIndex(), 0, excess - 1);
    m_lines.remove(0, excess);
    m_times.remove(0, excess);
    m_chars = kept;
    endRemoveRows();
    return excess;
}
