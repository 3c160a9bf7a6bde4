#pragma once

#include "session/sessionstate.h"

#include <QByteArray>
#include <QString>

#include <functional>

class SocketArray;
class WindowControls;

// The hub's side of the chat: the slot table's accept and departure steps, the walks
// that send to the open slots, and the handling of everything clients send.
//
// Every walk reads its upper bound once when it starts, keeps its own position, tests
// each slot when it reaches it, and yields (DoEvents) after each send where the chat
// asks for it. Handlers that run during a yield may change the table, so a walk never
// keeps anything across a yield but its position, and it skips a slot whose element
// has gone.
class ServerHub
{
public:
    // Longest chat line or raw line relayed, in characters; longer ones are dropped.
    static constexpr qsizetype MaxLineChars = 32767;
    // Longest nickname registered, and registrations taken from one connection.
    static constexpr qsizetype MaxNameChars = 1000;
    static constexpr int MaxRegistrations = 8;

    ServerHub(SessionState &state, SocketArray &sockets, WindowControls &view);

    // The yield used by the walks; QCoreApplication::processEvents() unless replaced
    // (tests replace it to make events happen at a chosen point of a walk).
    void setDoEvents(std::function<void()> doEvents);
    void DoEvents();

    // Socket events of the hub.
    void ConnectionRequest(int index, qint64 requestID);
    void Close(int index);
    void DataArrival(int index);
    void Error(int index, const QString &description);

    // Sends the text to every open slot, yielding after each send.
    void BroadcastToClients(const QString &text);
    // Sends the text to every open slot without yielding (minimize notices).
    void sendToOpenSlots(const QString &text);
    // Closes every socket of the table, the listening one included.
    void closeAll();

    bool isOpen(int slot) const;

private:
    void departure(int index);
    void registerName(int index, QStringView value, bool more);
    void broadcast(const QByteArray &bytes, bool yield);
    void refuseLongLine(int index, qsizetype length);
    // Whether the client that had the slot when its element had this serial has gone
    // (its slot marked closed, or released and perhaps taken by someone else).
    bool hasLeft(int slot, quint64 serial) const;

    SlotTable &m_slots;
    SocketArray &m_sockets;
    WindowControls &m_view;
    std::function<void()> m_doEvents;
    std::array<int, MaxSlots + 1> m_registrations{}; // per connection
};
