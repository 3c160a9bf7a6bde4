// SPDX-License-Identifier: MIT
#include "messagejoiner.h"

#include "wireformat.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <utility>

namespace {

constexpr qsizetype StartLength = 7;

// The last message start at or after `from` (at least 1), or -1.
qsizetype lastMessageStart(const QByteArray &data, qsizetype from)
{
    for (qsizetype at = data.lastIndexOf('_'); at >= from; at = data.lastIndexOf('_', at - 1)) {
        if (MessageJoiner::isMessageStart(data, at))
            return at;
    }
    return -1;
}

} // namespace

MessageJoiner::MessageJoiner(QObject *parent, Clock clock)
    : QObject(parent)
    , m_clock(clock ? std::move(clock) : [] { return QDeadlineTimer::current().deadline(); })
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &MessageJoiner::expire);
}

bool MessageJoiner::isMessageStart(const QByteArray &bytes, qsizetype at)
{
    const QLatin1StringView head(bytes.constData() + at, std::min(StartLength, bytes.size() - at));
    if (head.size() == StartLength && head.back() != u' ')
        return false;
    const QLatin1StringView tag = head.first(std::min<qsizetype>(head.size(), 6));
    return std::any_of(std::begin(WireFormat::Tags), std::end(WireFormat::Tags),
                       [&](const QString *t) { return t->startsWith(tag); });
}

bool MessageJoiner::wantsState(qsizetype readSize) const
{
    return readSize >= std::max<qsizetype>(MinSegmentBytes, m_state.fullSegment - MaxOptionRoom);
}

// Signs of lost segments: while ours to the peer get lost its own come shorter (from when
// it tells us they are missing until we have sent them again, and a little longer for what
// is on its way); one of its own that came out of order means the read ends where the one
// sent again ends, which may be anywhere in a message.
void MessageJoiner::noteState(const tcp::State &state, bool *mayGoOn)
{
    const qint64 now = m_clock();
    if (state.resent != m_state.resent || state.peerMissing)
        m_lastResent = m_lastLoss = now;
    if (state.outOfOrder != m_state.outOfOrder) {
        m_lastLoss = now;
        *mayGoOn = true;
    }
    m_state = state;
}

QByteArray MessageJoiner::take(const QByteArray &bytes, Read read, const tcp::State *state)
{
    bool mayGoOn = read.atBound || read.moreWaiting;
    if (state)
        noteState(*state, &mayGoOn);
    const qsizetype readStart = m_held.size();
    const qint64 dataStart = m_taken - readStart;
    m_taken += bytes.size();
    const bool aligned = !std::exchange(m_startsInside, read.atBound);
    QByteArray data = m_held.isEmpty() ? bytes : std::exchange(m_held, {}) + bytes;
    m_due = false;
    const bool judged = read.atBound || !aligned || state;
    const QList<qint64> starts = judged ? writeStarts(data, dataStart, readStart, aligned) : QList<qint64>();
    m_carried = read.atBound ? starts.last(std::min<qsizetype>(starts.size(), MaxCarried)) : QList<qint64>();
    const bool shortened = within(m_lastResent, ShortenedForMs);
    const auto fills = [&](qint64 at) { return fillsSegments(m_taken - at, shortened); };
    if (mayGoOn || std::any_of(starts.begin(), starts.end(), fills)) {
        // A start split between two reads ("_Sen" + "dM ...") is found in the joined bytes.
        const qsizetype from = std::max<qsizetype>(1, readStart - StartLength);
        const qsizetype cut = std::max<qsizetype>(0, lastMessageStart(data, from));
        if (data.size() - cut <= MaxHeldBytes) {
            m_held = data.sliced(cut);
            data.truncate(cut);
        }
    }
    if (isHolding())
        startWaiting(!data.isEmpty());
    else
        m_timer.stop();
    return data;
}

// Where in the stream a write may have begun, so that the segments of the data run from
// there: the start of what is held (a message start), the read's start unless the read
// before it stopped at the bound (then it begins inside a segment), each message start in
// the read, and those carried over such a stop.
QList<qint64> MessageJoiner::writeStarts(const QByteArray &data, qint64 dataStart, qsizetype readStart,
                                         bool aligned) const
{
    QList<qint64> starts = m_carried;
    if (readStart > 0)
        starts.append(dataStart);
    if (aligned)
        starts.append(dataStart + readStart);
    for (qsizetype at = data.indexOf('_', readStart); at >= 0; at = data.indexOf('_', at + 1)) {
        if (isMessageStart(data, at))
            starts.append(dataStart + at);
    }
    return starts;
}

// (Re)starts the quiet time, within HoldMaxMs of when what is held began to be held. On a
// busy connection every read may hold back its last message, each a new one once something
// before it was delivered.
void MessageJoiner::startWaiting(bool freshHold)
{
    const qint64 now = m_clock();
    if (freshHold || !m_timer.isActive())
        m_heldSince = now;
    int quiet = QuietUnknownMs;
    if (within(m_lastLoss, LossyForMs))
        quiet = HoldMaxMs;
    else if (m_state.retransmitMicros > 0)
        quiet = std::clamp(m_state.retransmitMicros / 500, QuietMinMs, QuietMaxMs);
    m_timer.start(int(std::clamp<qint64>(HoldMaxMs - (now - m_heldSince), 0, quiet)));
}

void MessageJoiner::expire()
{
    if (!isHolding())
        return;
    if (within(m_heldSince, HoldMaxMs) && m_moreWaiting && m_moreWaiting()) {
        m_timer.start(QuietMinMs);
    } else {
        m_due = true;
        ++s_timeOuts;
    }
    emit wake();
}

QByteArray MessageJoiner::takeHeld()
{
    m_timer.stop();
    m_due = false;
    return std::exchange(m_held, {});
}

// Whether `length` bytes can be a whole number of the peer's full segments. While it
// misses some of ours, it tells in each of its own which it has got (one to four blocks
// of 8 bytes, with 4 more), so its full segments are then 12, 20, 28 or 36 bytes shorter,
// changing from one segment to the next.
bool MessageJoiner::fillsSegments(qsizetype length, bool shortened) const
{
    const qsizetype full = m_state.fullSegment;
    if (full < MinSegmentBytes)
        return false;
    if (!shortened)
        return length >= full && length % full == 0;
    for (qsizetype k = 1; k * (full - MaxOptionRoom) <= length; ++k) {
        const qsizetype shortBy = k * full - length;
        if (shortBy >= 0 && shortBy % 4 == 0 && shortBy != 4 && shortBy != 8 && shortBy != 16)
            return true;
    }
    return false;
}
