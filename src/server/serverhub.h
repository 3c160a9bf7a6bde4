// SPDX-License-Identifier: MIT
#pragma once

#include "net/wireformat.h"
#include "session/chatendpoint.h"
#include "session/sessionstate.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>

#include <functional>

class SocketArray;

// The hub's side of the chat: the slot table's accept and departure steps, the walks
// that send to the open slots, and the handling of everything clients send.
//
// Every walk reads its upper bound once when it starts, keeps its own position, tests
// each slot when it reaches it, and yields (DoEvents) after each send where the chat
// asks for it. Handlers that run during a yield may change the table, so a walk never
// keeps anything across a yield but its position, and it skips a slot whose element
// has gone.
class ServerHub : public ChatEndpoint
{
public:
    // Longest chat line or raw line relayed, in characters; longer ones are dropped.
    static constexpr qsizetype MaxLineChars = WireFormat::MaxLineChars;
    // Longest nickname registered, and registrations taken from one connection.
    static constexpr qsizetype MaxNameChars = 1000;
    static constexpr int MaxRegistrations = 8;
    // Every registration appends a name-list entry and a departure only blanks one, so
    // clients that come and go would grow the list without end. Positions 0 to MaxSlots
    // are the ones that walks and departures read and write; past this many entries the
    // oldest entry beyond them goes, which nothing on the wire can tell.
    static constexpr int MaxNameListEntries = 10000;
    // The walks yield after every send. A yield handles the events that wait at most every
    // YieldCheckNs. Work that begins after a pause looks first when it has run
    // YieldCheckNs: a line that reaches an idle hub is relayed to everyone before anything
    // else is looked at.
    static constexpr qint64 YieldCheckNs = 50000;
    // Reading the clock costs more than a gathered send: a yield reads it only every
    // YieldClockCalls calls (a handful of sends, well within YieldCheckNs).
    static constexpr int YieldClockCalls = 8;

    ServerHub(SessionState &state, SocketArray &sockets);

    // The yield used by the walks (see YieldCheckNs) unless replaced: tests replace it
    // to make events happen at a chosen point of a walk.
    void setDoEvents(std::function<void()> doEvents);
    void DoEvents();

    // Listens on the port and puts the user's own nickname at the head of the name list.
    void open() override;
    // Closes every socket of the table, the listening one included.
    void closeAll() override;

    // Socket events of the hub, with the slot's number (0: the listening socket).
    void ConnectionRequest(int slot, qint64 requestID) override;
    void Connect(int) override {}
    void Close(int slot) override;
    void DataArrival(int slot) override;
    void Error(int slot, const QString &description) override;

    // The user's own line: sent to every open slot, then logged.
    bool sendChatLine(const QString &line) override;
    void sendNotice(bool minimized) override;

    // Sends the text to every open slot, yielding after each send.
    void BroadcastToClients(const QString &text);
    // Sends the text to every open slot without yielding (minimize notices).
    void sendToOpenSlots(const QString &text);

    bool isOpen(int slot) const;

private:
    void openSlot(int slot, qint64 requestID);
    void departure(int slot);
    // One handler per tag a client sends; each returns whether to go on with the chunk.
    bool onRegistration(int slot, quint64 sender, const WireFormat::Segment &s);
    bool onSlotRequest(int slot, quint64 sender);
    bool onChatLine(int slot, const WireFormat::Segment &s);
    void relayRawLine(int slot, const QString &chunk);
    bool refusedAsTooLong(int slot, qsizetype length);
    void registerName(int slot, QStringView value, bool more);
    template <typename Gone>
    bool sendToOthers(int newcomerSlot, Gone gone, const QByteArray &bytes);
    void broadcast(const QByteArray &bytes, bool yield);
    template <typename Stop, typename Step>
    bool walkSlots(int first, bool yield, Stop stop, Step step);
    void yieldNow();
    void startWalk();
    // Whether the client that had the slot when its element had this serial has gone
    // (its slot marked closed, or released and perhaps taken by someone else).
    bool hasLeft(int slot, quint64 serial) const;

    SessionState &m_state;
    SlotTable &m_slots;
    SocketArray &m_sockets;
    LogModel &m_log;
    NameListModel &m_names;
    std::function<void()> m_doEvents; // a test's yield; none: yieldNow()
    QElapsedTimer m_yieldClock;
    qint64 m_lastYieldCheck = 0;
    int m_yieldsUnclocked = 0; // yields since the clock was last read
    std::array<int, MaxSlots + 1> m_registrations{}; // per connection
};
