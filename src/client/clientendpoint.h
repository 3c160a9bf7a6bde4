#pragma once

#include "session/sessionstate.h"

#include <QString>
#include <QStringView>

class SocketArray;
class WindowControls;

// A client's side of the chat: its connection to the hub on socket 0 and the handling
// of everything the hub sends.
class ClientEndpoint
{
public:
    // Most names the list takes; further ones are not shown.
    static constexpr int MaxNames = 10000;

    ClientEndpoint(SessionState &state, SocketArray &sockets, WindowControls &view);

    // Socket events of element 0.
    void Connect(int index);
    void Close();
    void Error(const QString &description);
    void DataArrival();

    // Reads a slot number as the hub sends it: leading blanks skipped, the digits up to
    // the first other character, a fraction rounded half to even; anything else is 0.
    static qint16 readSlotNumber(QStringView value);

private:
    void blankName(const QString &name);

    SessionState &m_state;
    SocketArray &m_sockets;
    WindowControls &m_view;
};
