// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractListModel>
#include <QList>
#include <QStringList>
#include <QTimer>

// The chat log RecieveList: its lines, as plain strings (a long-running hub keeps
// thousands of them, and an item object per line would cost several times the text),
// each with the time it was logged. Which line is selected is the views' to keep: the
// log only asks them, with rowSelected(), to select a line it adds.
//
// Adding a line only notes it. A line added to an idle log is shown when the event being
// handled is over: the hub logs a line before relaying it, and the views, their painting
// and the accessibility events they raise must not hold up the relay. Lines that follow
// within RefreshMs are gathered and shown together, so that a flood of lines costs one
// update of the views, not one each. The reads below see the lines shown; flush() shows
// the gathered ones at once.
//
// The time of a line is kept in UTC and turned into local time only when it is shown:
// a local time costs a look at the system's time zone file every time.
class LogModel : public QAbstractListModel
{
    Q_OBJECT

public:
    // Most lines the log keeps; the oldest are dropped beyond it.
    static constexpr int MaxLines = 10000;
    // Lines may be long (up to the relay bound and beyond, from a careless hub), so the
    // log is bounded by its characters too: about 4 MB of text, oldest lines first. The
    // newest line is always kept whole.
    static constexpr qsizetype MaxChars = 2000000;
    static constexpr int RefreshMs = 200;
    // The time a line was logged, as a QDateTime in local time.
    static constexpr int TimeRole = Qt::UserRole + 1;

    explicit LogModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

    // Adds a line and selects it, so that it scrolls into view.
    void AppendLog(const QString &line);
    // Adds a line without moving the selection.
    void addLine(const QString &line);
    void selectLast();

    // Shows the gathered lines now.
    void flush();
    // What a screen reader reads for a line: the line, or for an empty or blank one a
    // word that says so, where a sighted user sees an empty row.
    static QString accessibleText(const QString &line);
    // The lines shown.
    const QStringList &lines() const { return m_lines; }

signals:
    // Lines were shown: these, in order, now the last rows of the log.
    void linesShown(const QStringList &lines);
    // The log asks its views to select this row and scroll it into view.
    void rowSelected(int row);

private:
    void append(const QStringList &lines, const QList<qint64> &times);
    int keepNewest();

    QStringList m_lines;
    QList<qint64> m_times; // one per line, in milliseconds since the epoch (UTC)
    qsizetype m_chars = 0; // in all lines

    QTimer m_timer;          // shows what is gathered; idle while nothing was shown lately
    QStringList m_pending;   // added, not yet shown
    QList<qint64> m_pendingTimes;
    qsizetype m_pendingChars = 0;
    int m_pendingSelect = -1; // position in m_pending of the line to select
};

// The two lines shown when a connection fails or cannot be made: the reason as given,
// then the fixed failure line; the last one is selected.
void logConnectionFailure(LogModel &log, const QString &description);
