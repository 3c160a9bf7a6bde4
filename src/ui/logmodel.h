#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QStringList>
#include <QTime>

// The lines of the chat log, as plain strings: a long-running hub keeps thousands of
// them, and a list-widget item per line would cost several times the text itself. Each
// line keeps the time it was logged, which its tooltip shows.
class LogModel : public QAbstractListModel
{
    Q_OBJECT

public:
    // The time a line was logged, as a QTime.
    static constexpr int TimeRole = Qt::UserRole + 1;

    using QAbstractListModel::QAbstractListModel;

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // The lines, with the time each was logged (one time for each line).
    void append(const QStringList &lines, const QList<QTime> &times);
    // Drops the oldest lines so that at most `lines` lines of at most `chars` characters
    // in all remain (the newest line stays whatever its length); returns how many went.
    int keepNewest(int lines, qsizetype chars);
    QString line(int row) const { return m_lines.value(row); }

private:
    QStringList m_lines;
    QList<QTime> m_times; // one per line
    qsizetype m_chars = 0; // in all lines
};
