// SPDX-License-Identifier: MIT
#include "messagejoiner.h"

#include "wireformat.h"

#include <QByteArrayList>

#include <algorithm>
#include <cstring>
#include <utility>

namespace {

constexpr qsizetype StartLength = 7;

// The messages our senders write, each as it begins on the wire: the tag and its space.
const QByteArrayList &messageStarts()
{
    static const QByteArrayList starts = [] {
        QByteArrayList out;
        for (const QString &tag : {WireFormat::SendM, WireFormat::NameL, WireFormat::Clsck, WireFormat::SdSck,
                                   WireFormat::RqSck, WireFormat::Cnnct})
            out.append(tag.toLatin1() + ' ');
        return out;
    }();
    return starts;
}

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

bool MessageJoiner::isMessageStart(const QByteArray &bytes, qsizetype at)
{
    const qsizetype n = std::min(StartLength, bytes.size() - at);
    const auto &starts = messageStarts();
    return std::any_of(starts.begin(), starts.end(), [&](const QByteArray &start) {
        return std::memcmp(bytes.constData() + at, start.constData(), size_t(n)) == 0;
    });
}

QByteArray MessageJoiner::take(const QByteArray &bytes, bool mayGoOn, int fullSegment, bool shortened, bool cutShort)
{
    const qsizetype readStart = m_held.size();
    const bool startsInside = std::exchange(m_startsInside, cutShort);
    QByteArray data = m_held.isEmpty() ? bytes : std::exchange(m_held, {}) + bytes;
    if (!mayGoOn && !startsInside && !mayEndInside(data, readStart, fullSegment, shortened))
        return data;
    // A start split between two reads ("_Sen" + "dM ...") is found from the joined bytes.
    const qsizetype cut = std::max<qsizetype>(0, lastMessageStart(data, std::max<qsizetype>(1, readStart - StartLength)));
    if (data.size() - cut > MaxHeldBytes)
        return data;
    m_held = data.sliced(cut);
    data.truncate(cut);
    return data;
}

QByteArray MessageJoiner::release()
{
    return std::exchange(m_held, {});
}

bool MessageJoiner::mayEndInside(const QByteArray &data, qsizetype readStart, int fullSegment, bool shortened) const
{
    const qsizetype end = data.size();
    if (fullSegment < MinSegmentBytes || end - readStart < MinSegmentBytes - MaxOptionRoom)
        return false;
    // A full segment is shorter by the room that acknowledgement options take in it: a
    // sender that misses some of our segments tells in each of its own which it has got
    // (one to four blocks of 8 bytes, with 4 more), so its full segments are then 12, 20,
    // 28 or 36 bytes shorter, changing from one segment to the next.
    const auto fillsLength = [&](qsizetype length) {
        if (!shortened)
            return length >= fullSegment && length % fullSegment == 0;
        for (qsizetype k = 1; k * (fullSegment - MessageJoiner::MaxOptionRoom) <= length; ++k) {
            const qsizetype shortBy = k * fullSegment - length;
            if (shortBy >= 0 && shortBy % 4 == 0 && !(shortBy == 4 || shortBy == 8 || shortBy == 16))
                return true;
        }
        return false;
    };
    const auto fills = [&](qsizetype from) { return fillsLength(end - from); };
    if (fills(0) || fills(readStart))
        return true;
    for (qsizetype at = data.indexOf('_', readStart); at >= 0; at = data.indexOf('_', at + 1)) {
        if (fills(at) && isMessageStart(data, at))
            return true;
    }
    return false;
}
