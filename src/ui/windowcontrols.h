#pragma once

#include <QString>

// The chat window's controls as the network handlers use them: the log list
// RecieveList and the participant list NameList. The chat window implements it with
// list widgets; tests use a plain in-memory one.
class WindowControls
{
public:
    virtual ~WindowControls() = default;

    // Adds a line to the log and selects it, so that it scrolls into view.
    virtual void AppendLog(const QString &line) = 0;
    // Adds a line to the log without moving the selection.
    virtual void addLogLine(const QString &line) = 0;
    virtual void selectLastLogLine() = 0;

    virtual int nameListCount() const = 0;
    // Entry i, counted from 0; an empty text for an entry that does not exist.
    virtual QString nameListItem(int i) const = 0;
    virtual void nameListAdd(const QString &name) = 0;
    // Replaces entry i in place; an entry that does not exist is left alone.
    virtual void setNameListItem(int i, const QString &name) = 0;
};

// The two lines shown when a connection fails or cannot be made: the reason as given,
// then the fixed failure line; the last one is selected.
inline void logConnectionFailure(WindowControls &view, const QString &description)
{
    view.addLogLine(description);
    view.addLogLine(QStringLiteral("*****　接続失敗　*****"));
    view.selectLastLogLine();
}
