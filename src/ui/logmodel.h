#pragma once

#include <QAbstractListModel>
#include <QStringList>

// The lines of the chat log, as plain strings: a long-running hub keeps thousands of
// them, and a list-widget item per line would cost several times the text itself.
class LogModel : public QAbstractListModel
{
    Q_OBJECT

public:
    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    void append(const QStringList &lines);
    // Drops the oldest lines so that at most `lines` lines of at most `chars` characters
    // in all remain (the newest line stays whatever its length); returns how many went.
    int keepNewest(int lines, qsizetype chars);
    QString line(int row) const { return m_lines.value(row); }

private:
    QStringList m_lines;
    qsizetype m_chars = 0; // in all lines
};
