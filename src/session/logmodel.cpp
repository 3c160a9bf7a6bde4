// SPDX-License-Identifier: MIT
#include "logmodel.h"

#include "texts.h"

#include <QDateTime>

#include <algorithm>

namespace {

// How many of the oldest lines go so that at most MaxLines lines of at most MaxChars
// characters in all remain, the newest line staying whatever its length. The same rule
// bounds the shown lines and the gathered ones. `chars` holds the lines' characters in
// all and is left at what remains.
int oldestToDrop(const QStringList &lines, qsizetype &chars)
{
    const int count = int(lines.size());
    int excess = std::max(count - LogModel::MaxLines, 0);
    for (int i = 0; i < count; ++i) {
        if (i >= excess) {
            if (chars <= LogModel::MaxChars || i == count - 1)
                break;
            ++excess;
        }
        chars -= lines.at(i).size();
    }
    return excess;
}

} // namespace

LogModel::LogModel(QObject *parent)
    : QAbstractListModel(parent)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &LogModel::flush);
}

int LogModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant LogModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_lines.size())
        return {};
    if (role == Qt::DisplayRole)
        return m_lines.at(index.row());
    if (role == Qt::AccessibleTextRole)
        return accessibleText(m_lines.at(index.row()));
    if (role == TimeRole)
        return QDateTime::fromMSecsSinceEpoch(m_times.at(index.row())).toLocalTime();
    return {};
}

void LogModel::AppendLog(const QString &line)
{
    addLine(line);
    selectLast();
}

void LogModel::addLine(const QString &line)
{
    // Gathered lines are bounded as the log is: a flood of long lines between two
    // refreshes would otherwise pile up here.
    m_pending << line;
    m_pendingTimes << QDateTime::currentMSecsSinceEpoch();
    m_pendingChars += line.size();
    if (const int dropped = oldestToDrop(m_pending, m_pendingChars)) {
        m_pending.remove(0, dropped);
        m_pendingTimes.remove(0, dropped);
        if (m_pendingSelect > 0)
            m_pendingSelect = std::max(m_pendingSelect - dropped, 0);
    }
    // An idle log shows the line as soon as the event loop is back.
    if (!m_timer.isActive())
        m_timer.start(0);
}

void LogModel::selectLast()
{
    if (m_pending.isEmpty())
        emit rowSelected(rowCount() - 1);
    else
        m_pendingSelect = int(m_pending.size()) - 1;
}

void LogModel::flush()
{
    if (m_pending.isEmpty())
        return;
    const int base = rowCount();
    const QStringList shown = std::exchange(m_pending, {});
    append(shown, std::exchange(m_pendingTimes, {}));
    m_pendingChars = 0;
    const int dropped = keepNewest();
    if (m_pendingSelect >= 0) {
        emit rowSelected(std::max(base + m_pendingSelect - dropped, 0));
        m_pendingSelect = -1;
    }
    m_timer.start(RefreshMs);
    // The gathered lines are bounded as the log is, so all of them are among its rows.
    emit linesShown(shown);
}

QString LogModel::accessibleText(const QString &line)
{
    return line.trimmed().isEmpty() ? QStringLiteral("（空行）") : line;
}

void LogModel::append(const QStringList &lines, const QList<qint64> &times)
{
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

// Drops the oldest shown lines beyond the bound; returns how many went.
int LogModel::keepNewest()
{
    qsizetype kept = m_chars;
    const int excess = oldestToDrop(m_lines, kept);
    if (excess == 0)
        return 0;
    beginRemoveRows(QModelIndex(), 0, excess - 1);
    m_lines.remove(0, excess);
    m_times.remove(0, excess);
    m_chars = kept;
    endRemoveRows();
    return excess;
}

void logConnectionFailure(LogModel &log, const QString &description)
{
    log.addLine(description);
    log.addLine(Texts::connectionFailed());
    log.selectLast();
}
