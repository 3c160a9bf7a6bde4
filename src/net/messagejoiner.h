// SPDX-License-Identifier: MIT
#pragma once

#include "tcpcalls.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>

// Puts back together what a peer sent in one write when a LAN hands it over in several
// reads (a long line travels in segments of about 1,500 bytes). Every rule of holding back
// is here. take() gives back what of a read may be delivered now, and holds the bytes from
// the last message start on when the read may have ended inside a message: it stopped at
// the read bound, more bytes wait behind it, a segment of the peer's came out of order, or
// it ends on a whole number of full segments counted from where a write may have begun (a
// sender's system sends full segments until its queue runs dry, so a write's last segment
// is shorter unless it happens to fill it exactly). A chat line shorter than a segment is
// delivered at once.
//
// What is held is delivered once the peer has been quiet for twice the retransmission
// timeout (QuietMinMs to QuietMaxMs), long enough for a lost segment to be sent again, and
// at the latest HoldMaxMs after it began to be held (all of it while the path loses
// segments). Past MaxHeldBytes all is delivered. Holding only moves where a delivery ends,
// always to a message start.
class MessageJoiner : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype MaxHeldBytes = 3 * (7 + 32767); // the longest line we relay
    static constexpr qsizetype MinSegmentBytes = 256; // no smaller segment counts as full
    static constexpr qsizetype MaxOptionRoom = 36;    // see fillsSegments()
    static constexpr int QuietMinMs = 400, QuietMaxMs = 1200, QuietUnknownMs = 600, HoldMaxMs = 3000;
    static constexpr int ShortenedForMs = 5000; // after we last sent a segment again
    static constexpr int LossyForMs = 5000;     // after the last sign of lost segments
    static constexpr qsizetype MaxCarried = 256; // write starts kept across reads

    using Clock = std::function<qint64()>; // milliseconds, steady; tests replace it
    explicit MessageJoiner(QObject *parent = nullptr, Clock clock = {});

    struct Read
    {
        bool atBound = false;     // it stopped at the read bound
        bool moreWaiting = false; // more bytes already wait behind it
    };
    // Whether take() needs the TCP state for a read of this size (a chat line needs none).
    bool wantsState(qsizetype readSize) const;
    // One read; what may be delivered now. `state` as read after the read, or null.
    QByteArray take(const QByteArray &bytes, Read read, const tcp::State *state);
    QByteArray takeHeld();
    bool isHolding() const { return !m_held.isEmpty(); }
    // A hold ended with nothing more from the peer: takeHeld() now.
    bool isDue() const { return m_due; }
    int waitMs() const { return m_timer.isActive() ? m_timer.interval() : 0; }
    // Holds that ended with nothing more, by every joiner of this process.
    static qint64 timeOuts() { return s_timeOuts; }

    // Asked when the quiet time is up: what waits unread is read first, and the hold goes on.
    void setMoreWaiting(std::function<bool()> moreWaiting) { m_moreWaiting = std::move(moreWaiting); }
    void expire(); // the quiet time is up

    // Whether `at` begins a message of ours ("_", a tag, a space), or as much of one as there is.
    static bool isMessageStart(const QByteArray &bytes, qsizetype at);

signals:
    void wake(); // read again, or deliver what is due

private:
    void noteState(const tcp::State &state, bool *mayGoOn);
    QList<qint64> writeStarts(const QByteArray &data, qint64 dataStart, qsizetype readStart, bool aligned) const;
    bool fillsSegments(qsizetype length, bool shortened) const;
    void startWaiting(bool freshHold);
    bool within(qint64 since, int ms) const { return since >= 0 && m_clock() - since < ms; }

    Clock m_clock;
    QTimer m_timer;
    std::function<bool()> m_moreWaiting;
    QByteArray m_held;
    bool m_startsInside = false; // the next read begins inside a segment
    qint64 m_taken = 0;          // bytes taken since the connection began
    QList<qint64> m_carried;     // write starts carried over a read that stopped at the bound
    bool m_due = false;
    tcp::State m_state;       // as last read
    qint64 m_lastResent = -1; // when m_state.resent last grew, or -1
    qint64 m_lastLoss = -1;   // when it or m_state.outOfOrder last grew
    qint64 m_heldSince = -1;
    static inline qint64 s_timeOuts = 0;
};
