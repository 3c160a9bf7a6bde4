#include "logmodel.h"

#include <algorithm>

LogModel::LogModel(QObject *parent)
    : QAbstractListModel(parent)
{
    m_timer.setSingleShot(true);
    m_timer.setInterval(RefreshMs);
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
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole)
        return m_lines.at(index.row());
    if (role == TimeRole)
        return m_times.at(index.row());
    return {};
}

void LogModel::AppendLog(const QString &line)
{
    addLine(line);
    selectLast();
}

void LogModel::addLine(const QString &line)
{
    if (m_timer.isActive()) {
        // Gathered lines are bounded as the log is: a flood of long lines between two
        // refreshes would otherwise pile up here.
        m_pending << line;
        m_pendingTimes << QTime::currentTime();
        m_pendingChars += line.size();
        while (m_pending.size() > 1 && (m_pending.size() > MaxLines || m_pendingChars > MaxChars)) {
            m_pendingChars -= m_pending.takeFirst().size();
            m_pendingTimes.removeFirst();
            if (m_pendingSelect > 0)
                --m_pendingSelect;
        }
    } else {
        append({line}, {QTime::currentTime()});
        keepNewest();
        m_timer.start();
    }
    emit lineAdded();
}

void LogModel::selectLast()
{
    if (m_pending.isEmpty())
        select(rowCount() - 1);
    else
        m_pendingSelect = int(m_pending.size()) - 1;
}

void LogModel::flush()
{
    if (m_pending.isEmpty())
        return;
    const int base = rowCount();
    append(std::exchange(m_pending, {}), std::exchange(m_pendingTimes, {}));
    m_pendingChars = 0;
    const int dropped = keepNewest();
    if (m_pendingSelect >= 0) {
        select(std::max(base + m_pendingSelect - dropped, 0));
        m_pendingSelect = -1;
    }
    m_timer.start();
}

int LogModel::count()
{
    flush();
    return rowCount();
}

QString LogModel::line(int row)
{
    flush();
    return m_lines.value(row);
}

QStringList LogModel::lines()
{
    flush();
    return m_lines;
}

int LogModel::selectedRow()
{
    flush();
    return m_selected;
}

void LogModel::select(int row)
{
    m_selected = row;
    emit rowSelected(row);
}

void LogModel::append(const QStringList &lines, const QList<QTime> &times)
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

// Drops the oldest lines so that at most MaxLines lines of at most MaxChars characters
// in all remain (the newest line stays whatever its length); returns how many went.
int LogModel::keepNewest()
{
    const int count = int(m_lines.size());
    int excess = std::max(count - MaxLines, 0);
    qsizetype kept = m_chars;
    for (int i = 0; i < count; ++i) {
        if (i >= excess) {
            if (kept <= MaxChars || i == count - 1)
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
    m_selected = std::max(m_selected - excess, -1);
    endRemoveRows();
    return excess;
}

void logConnectionFailure(LogModel &log, const QString &description)
{
    log.addLine(description);
    log.addLine(QStringLiteral("*****　接続失敗　*****"));
    log.selectLast();
}
