// SPDX-License-Identifier: MIT
#include "readablelist.h"

#include "session/logmodel.h"

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QToolTip>

namespace {

// Up to this many characters a tooltip is not wrapped.
constexpr qsizetype ShortToolTipChars = 60;

class ReadableDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    // A list view makes each line at least as wide as its viewport; asking for no width
    // makes it exactly that wide, so the text is cut with "…" rather than scrolled.
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return {1, QStyledItemDelegate::sizeHint(option, index).height()};
    }

    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override
    {
        if (event->type() != QEvent::ToolTip || !index.isValid())
            return QStyledItemDelegate::helpEvent(event, view, option, index);
        const QDateTime logged = index.data(LogModel::TimeRole).toDateTime();
        QToolTip::showText(event->globalPos(),
                           toolTipText(index.data().toString(), logged.isValid() ? logged.toString(u"HH:mm:ss") : QString()),
                           view, view->visualRect(index));
        return true;
    }
};

} // namespace

QString toolTipText(const QString &text, const QString &time)
{
    QString shown = text.left(MaxToolTipChars).toHtmlEscaped();
    if (text.size() > MaxToolTipChars)
        shown += QStringLiteral("…（全%1文字）").arg(text.size());
    // Rich text, so that a long line wraps; a short one stays on one line. Spaces are
    // kept as typed.
    const QString whiteSpace = text.size() > ShortToolTipChars ? QStringLiteral("pre-wrap") : QStringLiteral("pre");
    QString tip = QStringLiteral("<p style=\"white-space:%1\">").arg(whiteSpace) + shown + QStringLiteral("</p>");
    if (!time.isEmpty())
        tip.prepend(QStringLiteral("<p>") + time + QStringLiteral("</p>"));
    return tip;
}

ReadableList::ReadableList(QWidget *parent)
    : QListView(parent)
{
    setItemDelegate(new ReadableDelegate(this));
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setTextElideMode(Qt::ElideRight);

    auto *copy = new QAction(QStringLiteral("コピー"), this);
    copy->setObjectName(QStringLiteral("copy"));
    connect(copy, &QAction::triggered, this, [this] {
        const QModelIndex current = currentIndex();
        if (current.isValid())
            QGuiApplication::clipboard()->setText(current.data().toString());
    });
    addAction(copy);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void ReadableList::currentChanged(const QModelIndex &current, const QModelIndex &previous)
{
    if (hasFocus())
        QListView::currentChanged(current, previous); // raises the focus on the row
    else
        QAbstractItemView::currentChanged(current, previous); // the same, without it
}

void ReadableList::focusInEvent(QFocusEvent *event)
{
    QListView::focusInEvent(event);
    // The window raises the focus on the list itself once this event is over; the row
    // follows it, so that the screen reader names the list and then reads the row.
    QTimer::singleShot(0, this, &ReadableList::raiseFocusOnCurrent);
}

void ReadableList::raiseFocusOnCurrent()
{
    const QModelIndex current = currentIndex();
    if (!hasFocus() || !current.isValid() || !QAccessible::isActive())
        return;
    QAccessibleEvent focus(this, QAccessible::Focus);
    focus.setChild(current.row());
    QAccessible::updateAccessibility(&focus);
}
