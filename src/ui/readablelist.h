// SPDX-License-Identifier: MIT
#pragma once

#include <QListView>
#include <QString>

// The chat window's lists, for sighted users and screen-reader users alike.
//
// The lists are narrow (the participant list is 81 pixels wide), and one long name or
// chat line would bring up a horizontal scroll bar that covers the whole list. So
// neither list scrolls sideways: each line is as wide as the list and text that does not
// fit ends in "…"; hovering shows it whole (with the time it was logged, for a model
// that gives LogModel::TimeRole), and 「コピー」 in the context menu, like Ctrl+C, copies
// the selected line whole.
//
// A screen reader follows the accessibility focus. QListView raises it for its current
// row whenever that row changes, with or without the keyboard focus; the log moves its
// current row to every new line while the user types in the entry line, and the screen
// reader would leave the entry line for the log each time. This list raises it only
// while it has the keyboard focus, and when it gets the keyboard focus, so that entering
// it reads the line or name one is on.
class ReadableList : public QListView
{
    Q_OBJECT

public:
    explicit ReadableList(QWidget *parent = nullptr);

protected:
    void currentChanged(const QModelIndex &current, const QModelIndex &previous) override;
    void focusInEvent(QFocusEvent *event) override;

private:
    void raiseFocusOnCurrent();
};

// A line's tooltip: the time it was logged, when given, above the text. Text longer than
// MaxToolTipChars shows its beginning and says how long it is in all.
inline constexpr qsizetype MaxToolTipChars = 2000;
QString toolTipText(const QString &text, const QString &time = {});
