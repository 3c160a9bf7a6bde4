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
    if (role == Qt::DisplayRole)
        return m_names.at(index.row());
    if (role == Qt::AccessibleTextRole)
        return accessibleText(m_names.at(index.row()));
    return {};
}

QString NameListModel::accessibleText(const QString &name)
{
    // A departure leaves its entry as one space, which a screen reader would read as
    // nothing at all.
    if (name == QLatin1String(" "))
        return QStringLiteral("（退出）");
    return name.trimmed().isEmpty() ? QStringLiteral("（空欄）") : name;
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
