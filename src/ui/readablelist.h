// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

class QAbstractItemView;

// The chat window's lists are narrow (the participant list is 81 pixels wide), and one
// long name or chat line would bring up a horizontal scroll bar that covers the whole
// list. So neither list scrolls sideways: each line is as wide as the list and text that
// does not fit ends in "…"; hovering shows it whole (with the time it was logged, for a
// model that gives LogModel::TimeRole), and 「コピー」 in the context menu,
// like Ctrl+C, copies the selected line whole.
void makeReadable(QAbstractItemView *view);

// A line's tooltip: the time it was logged, when given, above the text. Text longer than
// MaxToolTipChars shows its beginning and says how long it is in all.
inline constexpr qsizetype MaxToolTipChars = 2000;
QString toolTipText(const QString &text, const QString &time = {});
