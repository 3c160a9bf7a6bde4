#include "logmodel.h"

int LogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant LogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_lines.size())
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole || role == Qt::ToolTipRole)
        return m_lines.at(index.row());
    return {};
}

void LogModel::append(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    const int first = int(m_lines.size());
    beginInsertRows(QModelIndex(), first, first + int(lines.size()) - 1);
    m_lines += lines;
    endInsertRows();
}

int LogModel::keepNewest(int keep)
{
    const int excess = int(m_lines.size()) - keep;
    if (excess <= 0)
        return 0;
    beginRemoveRows(QModelIndex(), 0, excess - 1);
    m_lines.remove(0, excess);
    endRemoveRows();
    return excess;
}
