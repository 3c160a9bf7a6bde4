// SPDX-License-Identifier: MIT
#include "serverhub.h"

#include "net/socketarray.h"
#include "session/texts.h"

#include <QCoreApplication>

using namespace WireFormat;

ServerHub::ServerHub(SessionState &state, SocketArray &sockets)
    : m_state(state)
    , m_slots(state.slotTable)
    , m_sockets(sockets)
    , m_log(state.RecieveList)
    , m_names(state.NameList)
{
    m_yieldClock.start();
}

// Looking for waiting events costs a system call, so the yield looks at most every
// YieldCheckNs and handles what it finds at once. A walk of sends takes a few microseconds
// a slot, so events still run within a fraction of a millisecond, in the order in which
// they came.
void ServerHub::yieldNow()
{
    m_yieldsUnclocked = 0;
    const qint64 now = m_yieldClock.nsecsElapsed();
    if (now - m_lastYieldCheck < YieldCheckNs)
        return;
    m_lastYieldCheck = now;
    QCoreApplication::processEvents();
}

// After a pause the count of YieldCheckNs starts afresh, from where the new work begins.
void ServerHub::startWalk()
{
    const qint64 now = m_yieldClock.nsecsElapsed();
    if (now - m_lastYieldCheck >= YieldCheckNs)
        m_lastYieldCheck = now;
}

void ServerHub::open()
{
    const SessionSettings &s = m_state.settings;
    const std::optional<quint16> port = s.port();
    QString error;
    const bool listening = port && m_sockets.listen(0, *port, &error);
    m_names.add(s.HandleName);
    if (!listening) {
        // Never reported as established when it is not.
        logConnectionFailure(m_log, port ? error : Texts::badPort(s.PortText));
        return;
    }
    m_log.addLine(Texts::serverEstablished());
    m_log.AppendLog(Texts::yourAddress(m_sockets.localIP()));
}

bool ServerHub::sendChatLine(const QString &line)
{
    BroadcastToClients(chatMessage(line));
    m_log.AppendLog(line);
    return true;
}

void ServerHub::sendNotice(bool minimized)
{
    const QString name = m_names.item(0);
    sendToOpenSlots(chatMessage(minimized ? minimizedNotice(name, true) : restoredNotice(name)));
}

void ServerHub::setDoEvents(std::function<void()> doEvents)
{
    m_doEvents = std::move(doEvents);
}

// Called after every send to every peer: the common case only counts.
void ServerHub::DoEvents()
{
    if (m_doEvents)
        m_doEvents();
    else if (++m_yieldsUnclocked >= YieldClockCalls)
        yieldNow();
}

bool ServerHub::hasLeft(int slot, quint64 serial) const
{
    return m_sockets.serial(slot) != serial || m_slots.ClosedSlot[slot] != 0;
}

bool ServerHub::isOpen(int slot) const
{
    return slot >= 1 && slot <= m_slots.SizeOfClient && m_slots.ClosedSlot[slot] == 0
        && m_sockets.isLoaded(slot);
}

// The walk every send to the slots follows: from `first` up to the top as it stood when
// the walk began. `step(slot)` sends, or passes the slot by, and tells whether it sent;
// each send is followed by a yield when asked. The walk ends early, returning false, as
// soon as `stop()` is true, checked before each slot and at the end.
template <typename Stop, typename Step>
bool ServerHub::walkSlots(int first, bool yield, Stop stop, Step step)
{
    const int bound = m_slots.SizeOfClient;
    for (int slot = first; slot <= bound; ++slot) {
        if (stop())
            return false;
        if (step(slot) && yield)
            DoEvents();
    }
    return !stop();
}

void ServerHub::ConnectionRequest(int slot, qint64 requestID)
{
    if (slot != 0) {
        m_log.AppendLog(Texts::accepted(m_slots.ConnCount));
        return;
    }
    if (m_slots.SizeOfClient < MaxSlots) {
        ++m_slots.ConnCount;
        ++m_slots.SizeOfClient;
        openSlot(m_slots.ConnCount, requestID);
        return;
    }
    // The top is slot 50: the newcomer takes the lowest slot whose client has gone.
    for (int closed = 1; closed < MaxSlots; ++closed) {
        if (m_slots.ClosedSlot[closed] != 0) {
            m_sockets.unload(closed);
            m_slots.ClosedSlot[closed] = 0;
            openSlot(closed, requestID);
            return;
        }
    }
    // All 50 slots hold connected clients: the newcomer is told why and turned away.
    m_sockets.refuse(requestID, fullHouseRefusal(MaxSlots).toUtf8());
    m_log.AppendLog(Texts::fullHouse(MaxSlots));
}

// The newcomer's connection goes into a fresh element of the slot.
void ServerHub::openSlot(int slot, qint64 requestID)
{
    m_sockets.load(slot);
    m_registrations[slot] = 0;
    m_sockets.accept(slot, requestID);
    m_log.AppendLog(Texts::accepted(slot));
}

void ServerHub::Close(int slot)
{
    // The listening socket never departs, and a slot departs once.
    if (slot < 1 || slot > m_slots.SizeOfClient || m_slots.ClosedSlot[slot] != 0)
        return;
    departure(slot);
}

void ServerHub::Error(int slot, const QString &description)
{
    if (slot >= 1) {
        // A client's connection failed: shown, then handled as that client leaving.
        // The hub goes on listening.
        m_log.AppendLog(description);
        Close(slot);
        return;
    }
    logConnectionFailure(m_log, description);
    m_sockets.close(0);
}

// The top slot is released at once, with the closed ones below it; any other is marked
// closed, to be taken by the next newcomer.
void ServerHub::departure(int slot)
{
    m_sockets.close(slot);
    const QString name = m_slots.SlotName[slot];
    if (slot == m_slots.SizeOfClient) {
        m_sockets.unload(slot);
        --m_slots.ConnCount;
        --m_slots.SizeOfClient;
        while (m_slots.ClosedSlot[m_slots.SizeOfClient] != 0) {
            const int top = m_slots.SizeOfClient;
            m_sockets.close(top);
            m_sockets.unload(top);
            m_slots.ClosedSlot[top] = 0;
            --m_slots.ConnCount;
            --m_slots.SizeOfClient;
        }
    } else {
        m_slots.ClosedSlot[slot] = qint16(slot);
    }
    m_log.AppendLog(Texts::departed(name));
    BroadcastToClients(WireFormat::departure(name));
    m_names.setItem(slot, QStringLiteral(" "));
}

void ServerHub::broadcast(const QByteArray &bytes, bool yield)
{
    startWalk();
    // A slot released during a yield (above the current top) or closed is skipped.
    walkSlots(1, yield, [] { return false; }, [&](int slot) {
        if (!isOpen(slot))
            return false;
        m_sockets.sendData(slot, bytes);
        return true;
    });
}

void ServerHub::BroadcastToClients(const QString &text)
{
    broadcast(text.toUtf8(), true);
}

void ServerHub::sendToOpenSlots(const QString &text)
{
    broadcast(text.toUtf8(), false);
}

void ServerHub::closeAll()
{
    const int bound = m_slots.SizeOfClient;
    for (int slot = 0; slot <= bound; ++slot)
        m_sockets.close(slot);
}

void ServerHub::DataArrival(int slot)
{
    if (slot < 1)
        return;
    // The chunk is held here for the whole event; the segments are views into it.
    const QString chunk = m_sockets.getData(slot);
    if (chunk.isEmpty())
        return;
    if (isRawLine(chunk)) {
        relayRawLine(slot, chunk);
        return;
    }
    // The sender may leave, and its slot be taken by someone else, during a yield of this
    // very handler: the rest of its chunk is then no longer answered or registered for it.
    // Its chat lines are still relayed to the others.
    const quint64 sender = m_sockets.serial(slot);
    forEachSegment(chunk, [&](const Segment &s) {
        if (s.tag == Cnnct)
            return onRegistration(slot, sender, s);
        if (s.tag == RqSck)
            return onSlotRequest(slot, sender);
        if (s.tag == SendM)
            return onChatLine(slot, s);
        return false; // any other tag ends the chunk
    });
}

// "_Cnnct name": registers the name, unless the sender has gone or asked too often.
bool ServerHub::onRegistration(int slot, quint64 sender, const Segment &s)
{
    if (s.payload.isEmpty())
        return false;
    if (hasLeft(slot, sender))
        return true; // nobody left to register
    if (s.value.size() > MaxNameChars || ++m_registrations[slot] > MaxRegistrations)
        m_log.AppendLog(Texts::registrationRefused(slot));
    else
        registerName(slot, s.value, s.hasMore);
    return true;
}

// "_RqSck": the sender is told its slot number.
bool ServerHub::onSlotRequest(int slot, quint64 sender)
{
    if (!hasLeft(slot, sender))
        m_sockets.sendData(slot, slotNumber(slot));
    return true;
}

// "_SendM line": logged, and relayed to everyone as a chat line.
bool ServerHub::onChatLine(int slot, const Segment &s)
{
    if (s.payload.isEmpty())
        return false;
    if (!refusedAsTooLong(slot, s.value.size())) {
        const QString value = s.value.toString();
        m_log.AppendLog(value);
        BroadcastToClients(chatMessage(value));
    }
    return true;
}

// A chunk without a tag: logged, and relayed to everyone as it came.
void ServerHub::relayRawLine(int slot, const QString &chunk)
{
    if (refusedAsTooLong(slot, chunk.size()))
        return;
    m_log.AppendLog(chunk);
    BroadcastToClients(chunk);
}

// A line too long to be relayed is dropped, with one line in the log; the sender stays.
bool ServerHub::refusedAsTooLong(int slot, qsizetype length)
{
    if (length <= MaxLineChars)
        return false;
    m_log.AppendLog(Texts::lineNotRelayed(slot, length));
    return true;
}

// A registration is filed under the slot it came on: that client gets the name list,
// every other open slot gets the new name and the join notice.
void ServerHub::registerName(int slot, QStringView value, bool more)
{
    const QString name = value.toString();
    m_names.add(name);
    if (m_names.count() > MaxNameListEntries)
        m_names.removeAt(MaxSlots + 1);
    if (slot <= MaxSlots)
        m_slots.SlotName[slot] = name;

    // The name list to the newcomer, entry by entry, for as long as its connection is
    // there. A newcomer that left meanwhile is not announced any further.
    const quint64 newcomer = m_sockets.serial(slot);
    const auto gone = [&] { return hasLeft(slot, newcomer); };
    startWalk();
    const bool stayed = walkSlots(0, true, gone, [&](int entry) {
        if (entry > MaxSlots || m_slots.ClosedSlot[entry] != 0 || entry >= m_names.count())
            return false;
        m_sockets.sendData(slot, nameEntry(m_names.item(entry)));
        return true;
    });
    // The new name to the others, then the join notice. The notice names the newcomer
    // even when another client registered during a yield and its name is now the last
    // of the list.
    if (!stayed || !sendToOthers(slot, gone, nameEntry(name).toUtf8())
        || !sendToOthers(slot, gone, chatMessage(joinNotice(name, more)).toUtf8()))
        return;
    m_log.AppendLog(Texts::joined(name));
}

// Sends the bytes to every open slot but the newcomer's, yielding after each send, while
// the newcomer is there; false once it has left.
template <typename Gone>
bool ServerHub::sendToOthers(int newcomerSlot, Gone gone, const QByteArray &bytes)
{
    return walkSlots(1, true, gone, [&](int slot) {
        if (slot == newcomerSlot || !isOpen(slot))
            return false;
        m_sockets.sendData(slot, bytes);
        return true;
    });
}
