// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QtGlobal>

// The texts this copy only shows in its own log, in one place. What goes on the wire is
// composed by the wire format (net/wireformat.h), never here.
//
// Every text stands byte for byte as people have always seen it: the full-width spaces
// (U+3000, written "　" below), the pairs of ASCII spaces and the full-width letters are
// part of it, and a few lines differ from their neighbours in ways that are not
// mistakes (see each).
namespace Texts {

// The hub, when it listens: "*****  サーバを確立しました　*****" (two ASCII spaces
// before, a full-width space after).
QString serverEstablished();
// "*****  あなたのＩＰアドレスは　ADDRESS  です  *****", with full-width "ＩＰ".
QString yourAddress(const QString &address);
// "N人目の接続を受けつけました": a connection taken on slot N.
QString accepted(int slot);
// The hub's own line for a newcomer: "*****  NAMEさんが入室しました　*****". It opens
// with two ASCII spaces, where the notice sent to the others opens with a full-width one.
QString joined(const QString &name);
// "*****  NAMEさんが落ちました。。。  *****": a participant left (hub and clients alike).
QString departed(const QString &name);
// "*****  満員のため接続をお断りしました（50人）  *****": the hub turned a newcomer away.
QString fullHouse(int slotCount);
// "*****  N人目の接続からの名前の登録を断りました  *****": a name too long, or too many.
QString registrationRefused(int slot);
// A line too long to relay, dropped by the hub.
QString lineNotRelayed(int slot, qsizetype length);

// A client: connecting, connected, and its hub gone.
QString connecting();      // "接続中..." (three ASCII dots)
QString connected();       // "*****　接続に成功しました　*****" (full-width spaces)
QString serverDown();      // "*****  サーバが落ちました！  *****"
// A typed line with no hub to send it to (full-width spaces).
QString notConnected();

// Either role: the line under a failure's own description, and the port field's text
// that is not a port.
QString connectionFailed(); // "*****　接続失敗　*****"
QString badPort(const QString &portText);

// The window: its options, when set, and a typed line over `maxChars` characters.
QString alwaysOnTop();
QString notifiesMinimize();
QString lineTooLong(qsizetype maxChars, qsizetype length);

} // namespace Texts
