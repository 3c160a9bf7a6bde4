// SPDX-License-Identifier: MIT
#include "namelistmodel.h"

int NameListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant NameListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return {};
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return m_names.at(index.row());
    return {};
}

void NameListModel::add(const QString &name)
{
    beginInsertRows(QModelIndex(), count(), count());
    m_names.append(name);
    endInsertRows();
}

void NameListModel::setItem(int i, const QString &name)
{
    if (i < 0 || i >= count())
        return;
    m_names[i] = name;
    emit dataChanged(index(i), index(i));
}

void NameListModel::removeAt(int i)
{
    if (i < 0 || i >= count())
        return;
    beginRemoveRows(QModelIndex(), i, i);
    m_names.removeAt(i);
    endRemoveRows();
}
