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

// Composing each message form.
QString slotRequest();                      // "_RqSck "
QString connectAnnouncement(const QString &handleName); // "_Cnnct " + name
QString slotNumber(int slot);               // "_SdSck " + digits
QString nameEntry(const QString &name);     // "_NameL " + name
QString chatMessage(const QString &line);   // "_SendM " + line
QString departure(const QString &name);     // "_Clsck " + name

// A user's chat line: nickname, " >> ", the typed text.
QString chatLine(const QString &handleName, const QString &text);

// Texts carried in "_SendM" or logged, composed in one place.
QString departureLine(const QString &name);          // "*****  name…さんが落ちました。。。  *****"
QString joinNotice(const QString &name, bool more);  // sent to the other clients
QString joinLogLine(const QString &name);            // the hub's own log line
QString acceptLine(int slot);                        // "N人目の接続を受けつけました"
QString badPortLine(const QString &portText);        // the port field is not a port
QString tooLongLine(qsizetype length);               // a typed line over MaxLineChars

bool isRawLine(QStringView remainder);

// One tagged unit of received text. Views point into the chunk being cut.
struct Segment
{
    QStringView tag;      // the first six characters (fewer when shorter)
    QStringView payload;  // everything after the seventh character
    QStringView value;    // the payload up to its first "_"
    QStringView rest;     // the payload from its first "_" on; empty when none
    bool hasMore = false; // the payload holds a "_"
};

// Cuts the segment at the start of the remainder, which begins with "_".
Segment cutSegment(QStringView remainder);

} // namespace WireFormat
