// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>

// Puts back together what a peer sent in one write when the network hands it over in
// several reads, as a real LAN does: a long line travels in segments of about 1,500
// bytes, and a read can end after any of them.
//
// Each read's bytes pass through take(), which gives back what may be delivered now. When
// the read may have ended inside a message, the bytes from the last message start on are
// held back, to be joined with the next read. A read may have ended inside a message when:
// - it hit the read bound, or more bytes wait behind it;
// - the read before it hit the read bound: such a read ends wherever the bound falls, so
//   this one begins inside a segment, and where it ends tells nothing of where a write
//   ended (it may even be short and end inside a message);
// - it ends on a whole number of full segments counted from a place where a write began
//   (the start of the read, a message start in it, or the start of what is held): the
//   sender's system sends full segments until its queue runs dry, and the last segment of
//   every write is shorter unless the write happens to fill it exactly.
// A read shorter than a full segment ends where a write ended, so an ordinary chat line is
// delivered at once. The caller releases what is held when the peer stays quiet for a
// moment, or closes; past MaxHeldBytes everything is delivered, so that no peer can make
// the held bytes grow.
//
// Holding back only ever moves where one delivery ends and the next begins, always to a
// message start, so the bytes and their order are untouched.
class MessageJoiner
{
public:
    // The longest message a sender of ours makes: a tag, a space and the longest relayed
    // line, at three bytes per character at most.
    static constexpr qsizetype MaxHeldBytes = 3 * (7 + 32767);
    // Smaller reads and segment sizes are not taken as full segments.
    static constexpr qsizetype MinSegmentBytes = 256;
    // The most that acknowledgement options shorten a full segment (see mayEndInside()).
    static constexpr qsizetype MaxOptionRoom = 36;

    // `bytes` is one read. `mayGoOn`: it hit the read bound or more is waiting.
    // `fullSegment`: the size of a full segment on this connection, 0 when unknown.
    // `shortened`: the peer's full segments may be shorter, each by its own amount (see
    // mayEndInside()), as while some of our segments to it were lost.
    // `cutShort`: the read stopped at the read bound.
    QByteArray take(const QByteArray &bytes, bool mayGoOn, int fullSegment, bool shortened = false,
                    bool cutShort = false);
    // Everything held, now.
    QByteArray release();
    bool isHolding() const { return !m_held.isEmpty(); }

    // Whether the bytes at `at` begin a message of ours ("_" and a known tag and a space),
    // or as much of one as there is before the end.
    static bool isMessageStart(const QByteArray &bytes, qsizetype at);

private:
    bool mayEndInside(const QByteArray &data, qsizetype readStart, int fullSegment, bool shortened) const;

    QByteArray m_held;
    bool m_startsInside = false; // the next read begins inside a segment
};
