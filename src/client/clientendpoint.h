// SPDX-License-Identifier: MIT
#pragma once

#include "net/wireformat.h"
#include "session/chatendpoint.h"
#include "session/sessionstate.h"

#include <QString>
#include <QStringView>

class SocketArray;

// A client's side of the chat: its connection to the hub on socket 0 and the handling
// of everything the hub sends.
class ClientEndpoint : public ChatEndpoint
{
public:
    // Most names the list takes; further ones are not shown.
    static constexpr int MaxNames = 10000;

    ClientEndpoint(SessionState &state, SocketArray &sockets);

    // Starts the connection of socket 0 to the hub.
    void open() override;
    void closeAll() override;

    // Socket events of element 0 (a client has no other).
    void ConnectionRequest(int, qint64) override {}
    void Connect(int index) override;
    void Close(int index) override;
    void Error(int index, const QString &description) override;
    void DataArrival(int index) override;

    // Sent on socket 0 while it is connected; otherwise the line stays, with a word why.
    bool sendChatLine(const QString &line) override;
    void sendNotice(bool minimized) override;

    // Reads a slot number as the hub sends it: leading blanks skipped, the digits up to
    // the first other character, a fraction rounded half to even; anything else is 0.
    static qint16 readSlotNumber(QStringView value);

private:
    bool onSegment(const WireFormat::Segment &s);
    void blankName(const QString &name);

    SessionState &m_state;
    SocketArray &m_sockets;
    LogModel &m_log;
    NameListModel &m_names;
};
