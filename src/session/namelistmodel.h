// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractListModel>
#include <QStringList>

// The participant list NameList: one name per entry, counted from 0. On the hub entry 0
// is the user's own nickname and registrations append; a departure overwrites an entry
// with " ". On a client the hub's name messages fill it.
class NameListModel : public QAbstractListModel
{
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    int count() const { return int(m_names.size()); }
    // Entry i; an empty text for an entry that does not exist.
    QString item(int i) const { return m_names.value(i); }
    const QStringList &entries() const { return m_names; }
    void add(const QString &name);
    // Replaces entry i in place; an entry that does not exist is left alone.
    void setItem(int i, const QString &name);
    void removeAt(int i);

    // What a screen reader reads for an entry: the name, or a word for an entry that a
    // sighted user sees blank (a participant who left, or an empty name).
    static QString accessibleText(const QString &name);

private:
    QStringList m_names;
};
