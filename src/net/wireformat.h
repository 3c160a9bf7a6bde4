// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QStringView>

// The chat's text wire format: messages are a six-character tag ("_" and five
// letters), one space and a payload, with no length prefix and no terminator.
// A receiver cuts what one read gives it into segments at each underscore.
namespace WireFormat {

// Longest chat line or raw line the hub relays, in characters; longer ones are dropped,
// so a user's line ("nickname >> text") longer than this is not sent at all.
constexpr qsizetype MaxLineChars = 32767;

inline const QString RqSck = QStringLiteral("_RqSck");
inline const QString Cnnct = QStringLiteral("_Cnnct");
inline const QString SdSck = QStringLiteral("_SdSck");
inline const QString NameL = QStringLiteral("_NameL");
inline const QString SendM = QStringLiteral("_SendM");
inline const QString Clsck = QStringLiteral("_Clsck");
inline const QString *const Tags[] = {&SendM, &NameL, &Clsck, &SdSck, &RqSck, &Cnnct};

// Composing each message form.
inline QString slotRequest() { return RqSck + u' '; }
inline QString connectAnnouncement(const QString &handleName) { return Cnnct + u' ' + handleName; }
inline QString slotNumber(int slot) { return SdSck + u' ' + QString::number(slot); }
inline QString nameEntry(const QString &name) { return NameL + u' ' + name; }
inline QString chatMessage(const QString &line) { return SendM + u' ' + line; }
inline QString departure(const QString &name) { return Clsck + u' ' + name; }

// A user's chat line: nickname, " >> ", the typed text.
inline QString chatLine(const QString &handleName, const QString &text)
{
    return handleName + QStringLiteral(" >> ") + text;
}

// Texts that go on the wire, composed in one place; what is only logged is in
// session/texts.h.
// The join notice sent to the other clients: "*****　NAMEさんが入室しました" and its
// ending. It opens with a full-width space; it ends with two ASCII spaces when more
// followed the registration in the same chunk and with a full-width one otherwise, as it
// always has: peers may tell the two apart.
QString joinNotice(const QString &name, bool more);
// A window minimized: "*****  NAME  さんが最小化しました　*****". The hub's own says
// 最初化 where a client's says 最小化: that is how the hub has always announced it.
QString minimizedNotice(const QString &name, bool byHub);
// A window restored: "*****  NAME  さんが元に戻しました　*****".
QString restoredNotice(const QString &name);
// Sent untagged to a newcomer turned away: "*****  満員のため接続できませんでした（50人）  *****".
QString fullHouseRefusal(int slotCount);

inline bool isRawLine(QStringView remainder) { return remainder.isEmpty() || remainder.front() != u'_'; }

// One tagged unit of received text. Views point into the chunk being cut.
struct Segment
{
    QStringView whole;    // the segment and everything after it in the chunk
    QStringView tag;      // the first six characters (fewer when shorter)
    QStringView payload;  // everything after the seventh character
    QStringView value;    // the payload up to its first "_"
    QStringView rest;     // the payload from its first "_" on; empty when none
    bool hasMore = false; // the payload holds a "_"
};

// Cuts the segment at the start of the remainder, which begins with "_".
Segment cutSegment(QStringView remainder);

// Walks the segments of a chunk that begins with "_", in order, handing each to
// `handle`, which returns whether to go on. Both roles cut what they receive this way.
template <typename Handler>
void forEachSegment(QStringView chunk, Handler &&handle)
{
    for (QStringView remainder = chunk;;) {
        const Segment s = cutSegment(remainder);
        if (!handle(s) || !s.hasMore)
            return;
        remainder = s.rest;
    }
}

} // namespace WireFormat
