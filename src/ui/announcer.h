// SPDX-License-Identifier: MIT
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <deque>

class QWidget;

// Speaks the chat window's new log lines through the screen reader, without moving its
// place: the user types in the entry line while others talk. Qt has no announcement
// event of its own here, so each announcement is a hidden child widget of the window,
// exposed as a notification (see installAccessibleRoles) with the text as its name,
// raised as shown; screen readers read a notification that shows and stay where they
// are. Each announcement has a widget of its own: a screen reader reads the name when
// it gets to the event, so one widget renamed twice in a row would be read twice with
// the second text. The widgets are destroyed by a timer, KeepMs after they were shown,
// never under a call of their own.
//
// The pace: lines are spoken one by one as long as they come no faster than people
// type. The announcer holds Burst credits, spends one per announcement and earns one
// back every RefillMs. Lines shown while a credit is at hand are spoken at once: one by
// one when there are credits for all of them and at most MaxSeparate, otherwise in one
// announcement, which joins them when there are at most MaxSeparate and else gives
// their number and the last of them. Lines shown with no credit left wait for the next
// one and are then spoken the same way, together with whatever came in the meantime. A
// flood is so heard as one short announcement every RefillMs, never minutes behind the
// log. A line longer than MaxSpokenChars is spoken up to there, with its length.
class Announcer : public QObject
{
    Q_OBJECT

public:
    static constexpr int Burst = 4;
    static constexpr int RefillMs = 1500;
    static constexpr int MaxSeparate = 3;
    static constexpr qsizetype MaxSpokenChars = 200;
    static constexpr int KeepMs = 10000;

    explicit Announcer(QWidget *window);
    ~Announcer() override;

    // Lines the log has just shown, in order.
    void linesShown(const QStringList &lines);

    // What is spoken for one line.
    static QString spokenText(const QString &line);

private:
    void speakHeld();
    void say(const QString &text);
    void reap();

    QWidget *m_window;
    QElapsedTimer m_clock;
    qint64 m_credit = qint64(Burst) * RefillMs; // in milliseconds: RefillMs for each credit
    qint64 m_creditAt = 0;                      // m_clock's time when m_credit was counted
    QStringList m_held;                         // the last MaxSeparate of the lines waiting
    int m_heldCount = 0;                        // how many lines are waiting
    QTimer m_creditTimer;                       // the next credit, while lines wait
    QTimer m_reapTimer;
    std::deque<std::pair<QPointer<QWidget>, qint64>> m_shown; // announcements and when each goes
};
