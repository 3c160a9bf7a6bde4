// SPDX-License-Identifier: MIT
#pragma once

#include "tcpcalls.h"

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>

// Puts back together what a peer sent in one write when the network hands it over in
// several reads, as a real LAN does: a long line travels in segments of about 1,500 bytes,
// and a read can end after any of them. Every rule of holding back is here.
//
// take() gives back what of a read may be delivered now. When the read may have ended
// inside a message, the bytes from the last message start on are held, to be joined with
// the next read. That is when:
// - it stopped at the read bound, more bytes wait behind it, or a segment of the peer's
//   came out of order (the read ends where the one sent again ends);
// - the read before it stopped at the read bound: it begins inside a segment, and where it
//   ends tells nothing of where a write ended;
// - it ends on a whole number of full segments counted from where a write may have begun
//   (the read's start, a message start in it, or the start of what is held): the sender's
//   system sends full segments until its queue runs dry, so a write's last segment is
//   shorter unless the write happens to fill it exactly.
// So an ordinary chat line, shorter than a segment, is delivered at once.
//
// What is held is delivered as it is once the peer has been quiet for twice the
// retransmission timeout (QuietMinMs to QuietMaxMs; QuietUnknownMs where the system cannot
// tell), enough for a lost segment to be sent again, and at the latest HoldMaxMs after it
// began to be held; while the path loses segments (LossyForMs since the last sign) it
// waits all of HoldMaxMs, as each further try comes twice as late. Past MaxHeldBytes all
// is delivered, so that no peer can make the held bytes grow. Holding back only moves
// where one delivery ends and the next begins, always to a message start.
class MessageJoiner : public QObject
{
    Q_OBJECT

public:
    // A tag, a space and the longest relayed line, at three bytes a character.
    static constexpr qsizetype MaxHeldBytes = 3 * (7 + 32767);
    // Smaller reads and segment sizes are not taken as full segments.
    static constexpr qsizetype MinSegmentBytes = 256;
    // The most that acknowledgement options shorten a peer's full segment (see take()).
    static constexpr qsizetype MaxOptionRoom = 36;
    static constexpr int QuietMinMs = 400;
    static constexpr int QuietMaxMs = 1200;
    static constexpr int QuietUnknownMs = 600;
    static constexpr int HoldMaxMs = 3000;
    // How long after we last sent a segment again the peer's segments may come shorter.
    static constexpr int ShortenedForMs = 5000;
    // How long after the last sign of lost segments the path counts as losing them.
    static constexpr int LossyForMs = 5000;

    // Milliseconds on a steady clock; tests replace it.
    using Clock = std::function<qint64()>;
    explicit MessageJoiner(QObject *parent = nullptr, Clock clock = {});

    struct Read // how one read ended
    {
        bool atBound = false;     // it stopped at the read bound
        bool moreWaiting = false; // more bytes already wait behind it
    };
    // Whether take() needs the TCP state for a read of this size: a chat line needs none.
    bool wantsState(qsizetype readSize) const;
    // One read; what may be delivered now. `state` as read after the read, or null.
    QByteArray take(const QByteArray &bytes, Read read, const tcp::State *state);
    // Everything held, now.
    QByteArray takeHeld();
    bool isHolding() const { return !m_held.isEmpty(); }
    // A hold ended with nothing more from the peer: what is held is to be delivered.
    bool isDue() const { return m_due; }
    // How long the running hold waits for more; 0 when not holding.
    int waitMs() const { return m_timer.isActive() ? m_timer.interval() : 0; }
    // Holds that ended because nothing more came.
    int timeOuts() const { return m_timeOuts; }

    // Asked when the quiet time is up: more from the peer that waits unread is read first
    // (wake()), and the hold goes on.
    void setMoreWaiting(std::function<bool()> moreWaiting) { m_moreWaiting = std::move(moreWaiting); }
    // What the timer does when the quiet time is up.
    void expire();

    // Whether the bytes at `at` begin a message of ours ("_", a known tag and a space), or
    // as much of one as there is.
    static bool isMessageStart(const QByteArray &bytes, qsizetype at);

signals:
    // Read again, or deliver what is due.
    void wake();

private:
    void noteState(const tcp::State &state, bool *mayGoOn);
    bool mayEndInside(const QByteArray &data, qsizetype readStart) const;
    bool fillsSegments(qsizetype length, bool shortened) const;
    void startWaiting(bool freshHold);
    bool within(qint64 since, int ms) const { return since >= 0 && m_clock() - since < ms; }

    Clock m_clock;
    QTimer m_timer;
    std::function<bool()> m_moreWaiting;
    QByteArray m_held;
    bool m_startsInside = false; // the next read begins inside a segment
    bool m_due = false;
    int m_timeOuts = 0;
    int m_fullSegment = 0;       // as last read; 0 until then
    int m_retransmitMicros = 0;
    quint32 m_resent = 0;        // segments sent again, as last read
    quint32 m_outOfOrder = 0;    // segments received out of order, as last read
    qint64 m_lastResent = -1;    // when that count last grew (ms), or -1
    qint64 m_lastLoss = -1;      // when either count last grew
    qint64 m_heldSince = -1;
};
