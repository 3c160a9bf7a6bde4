// SPDX-License-Identifier: MIT
#include "serverhub.h"

#include "net/socketarray.h"

#include <QCoreApplication>

using namespace WireFormat;

ServerHub::ServerHub(SessionState &state, SocketArray &sockets)
    : m_state(state)
    , m_slots(state.Slots)
    , m_sockets(sockets)
    , m_log(state.RecieveList)
    , m_names(state.NameList)
    , m_doEvents([this] { yieldNow(); })
{
    m_yieldClock.start();
}

// Looking for waiting events costs a system call, so the yield looks at most every
// YieldCheckNs; what it finds then is handled at once. A walk of sends takes a few
// microseconds a slot, so events still run within a fraction of a millisecond, in the
// order in which they came.
void ServerHub::yieldNow()
{
    if (++m_yieldsUnclocked < YieldClockCalls)
        return;
    m_yieldsUnclocked = 0;
    const qint64 now = m_yieldClock.nsecsElapsed();
    if (now - m_lastYieldCheck < YieldCheckNs)
        return;
    m_lastYieldCheck = now;
    if (m_sockets.eventsPending() || now - m_lastFullYield >= FullYieldMs * 1000000) {
        m_lastFullYield = now;
        QCoreApplication::processEvents();
    }
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
    const SessionSettings &s = m_state.Settings;
    const std::optional<quint16> port = s.port();
    QString error;
    const bool listening = port && m_sockets.listen(0, *port, &error);
    m_names.add(s.HandleName);
    if (!listening) {
        // Never reported as established when it is not.
        logConnectionFailure(m_log, port ? error : badPortLine(s.PortText));
        return;
    }
    m_log.addLine(QStringLiteral("*****  サーバを確立しました　*****"));
    m_log.AppendLog(QStringLiteral("*****  あなたのＩＰアドレスは　") + m_sockets.localIP() + QStringLiteral("  です  *****"));
}

bool ServerHub::sendChatLine(const QString &line)
{
    BroadcastToClients(chatMessage(line));
    m_log.AppendLog(line);
    return true;
}

void ServerHub::sendNotice(bool minimized)
{
    const QString closing = minimized ? QStringLiteral("  さんが最初化しました　*****") : QStringLiteral("  さんが元に戻しました　*****");
    sendToOpenSlots(chatMessage(QStringLiteral("*****  ") + m_names.item(0) + closing));
}

void ServerHub::setDoEvents(std::function<void()> doEvents)
{
    m_doEvents = std::move(doEvents);
}

void ServerHub::DoEvents()
{
    m_doEvents();
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

void ServerHub::ConnectionRequest(int index, qint64 requestID)
{
    if (index != 0) {
        m_log.AppendLog(acceptLine(m_slots.ConnCount));
        return;
    }
    if (m_slots.SizeOfClient < MaxSlots) {
        ++m_slots.ConnCount;
        ++m_slots.SizeOfClient;
        const int n = m_slots.ConnCount;
        m_sockets.load(n);
        m_registrations[n] = 0;
        m_sockets.accept(n, requestID);
        m_log.AppendLog(acceptLine(m_slots.ConnCount));
        return;
    }
    // The top is slot 50: the newcomer takes the lowest slot whose client has gone.
    for (int i = 1; i < MaxSlots; ++i) {
        if (m_slots.ClosedSlot[i] != 0) {
            m_sockets.unload(i);
            m_sockets.load(i);
            m_slots.ClosedSlot[i] = 0;
            m_registrations[i] = 0;
            m_sockets.accept(i, requestID);
            m_log.AppendLog(acceptLine(i));
            return;
        }
    }
    // All 50 slots hold connected clients: the newcomer is told why and turned away.
    m_sockets.refuse(requestID, QStringLiteral("*****  満員のため接続できませんでした（%1人）  *****").arg(MaxSlots).toUtf8());
    m_log.AppendLog(QStringLiteral("*****  満員のため接続をお断りしました（%1人）  *****").arg(MaxSlots));
}

void ServerHub::Close(int index)
{
    // The listening socket never departs, and a slot departs once.
    if (index < 1 || index > m_slots.SizeOfClient || m_slots.ClosedSlot[index] != 0)
        return;
    departure(index);
}

void ServerHub::Error(int index, const QString &description)
{
    if (index >= 1) {
        // A client's connection failed: shown, then handled as that client leaving.
        // The hub goes on listening.
        m_log.AppendLog(description);
        Close(index);
        return;
    }
    logConnectionFailure(m_log, description);
    m_sockets.close(0);
}

void ServerHub::departure(int index)
{
    m_sockets.close(index);
    const QString name = m_slots.SlotName[index];
    if (index == m_slots.SizeOfClient) {
        m_sockets.unload(index);
        --m_slots.ConnCount;
        --m_slots.SizeOfClient;
        m_log.AppendLog(departureLine(name));
        // Release the closed slots that are now at the top.
        while (m_slots.ClosedSlot[m_slots.SizeOfClient] != 0) {
            const int top = m_slots.SizeOfClient;
            m_sockets.close(top);
            m_sockets.unload(top);
            m_slots.ClosedSlot[top] = 0;
            --m_slots.ConnCount;
            --m_slots.SizeOfClient;
        }
    } else {
        m_slots.ClosedSlot[index] = qint16(index);
        m_log.AppendLog(departureLine(name));
    }
    BroadcastToClients(WireFormat::departure(name));
    m_names.setItem(index, QStringLiteral(" "));
}

void ServerHub::broadcast(const QByteArray &bytes, bool yield)
{
    startWalk();
    const int bound = m_slots.SizeOfClient;
    for (int i = 1; i <= bound; ++i) {
        // Released during a yield (above the current top) or closed: skipped.
        if (!isOpen(i))
            continue;
        m_sockets.sendData(i, bytes);
        if (yield)
            DoEvents();
    }
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
    for (int i = 0; i <= bound; ++i)
        m_sockets.close(i);
}

void ServerHub::DataArrival(int index)
{
    if (index < 1)
        return;
    // The chunk is held here for the whole event; the segments are views into it.
    const QString chunk = m_sockets.getData(index);
    if (chunk.isEmpty())
        return;
    if (isRawLine(chunk)) {
        if (chunk.size() > MaxLineChars) {
            refuseLongLine(index, chunk.size());
            return;
        }
        m_log.AppendLog(chunk);
        BroadcastToClients(chunk);
        return;
    }
    // The sender may leave, and its slot be taken by someone else, during a yield of this
    // very handler: the rest of its chunk is then no longer answered or registered for it.
    // Its chat lines are still relayed to the others.
    const quint64 sender = m_sockets.serial(index);
    QStringView remainder = chunk;
    for (;;) {
        const Segment s = cutSegment(remainder);
        if (s.tag == Cnnct) {
            if (s.payload.isEmpty())
                return;
            if (hasLeft(index, sender)) {
                // nobody left to register
            } else if (s.value.size() > MaxNameChars || ++m_registrations[index] > MaxRegistrations) {
                m_log.AppendLog(QStringLiteral("*****  %1人目の接続からの名前の登録を断りました  *****").arg(index));
            } else {
                registerName(index, s.value, s.hasMore);
            }
        } else if (s.tag == RqSck) {
            if (!hasLeft(index, sender))
                m_sockets.sendData(index, slotNumber(index));
        } else if (s.tag == SendM) {
            if (s.payload.isEmpty())
                return;
            if (s.value.size() > MaxLineChars) {
                refuseLongLine(index, s.value.size());
            } else {
                const QString value = s.value.toString();
                m_log.AppendLog(value);
                BroadcastToClients(chatMessage(value));
            }
        } else {
            return; // any other tag ends the chunk
        }
        if (!s.hasMore)
            return;
        remainder = s.rest;
    }
}

// A line too long to be relayed is dropped, with one line in the log; the sender stays.
void ServerHub::refuseLongLine(int index, qsizetype length)
{
    m_log.AppendLog(QStringLiteral("*****  %1人目の接続から届いた長すぎる行（%2文字）は中継しませんでした  *****")
                         .arg(index)
                         .arg(length));
}

// A registration is filed under the slot it came on: that client gets the name list,
// every other open slot gets the new name and the join notice.
void ServerHub::registerName(int index, QStringView value, bool more)
{
    const QString name = value.toString();
    m_names.add(name);
    if (m_names.count() > MaxNameListEntries)
        m_names.removeAt(MaxSlots + 1);
    if (index <= MaxSlots)
        m_slots.SlotName[index] = name;

    // The name list to the newcomer, for as long as its connection is there.
    const quint64 newcomer = m_sockets.serial(index);
    startWalk();
    const int listBound = m_slots.SizeOfClient;
    for (int p = 0; p <= listBound; ++p) {
        if (hasLeft(index, newcomer))
            return;
        if (p > MaxSlots || m_slots.ClosedSlot[p] != 0 || p >= m_names.count())
            continue;
        m_sockets.sendData(index, nameEntry(m_names.item(p)));
        DoEvents();
    }

    // The new name to the others, then the join notice. The notice names the newcomer
    // even when another client registered during a yield and its name is now the last
    // of the list. A newcomer that left meanwhile is not announced any further.
    if (!sendToOthers(index, newcomer, nameEntry(name).toUtf8())
        || !sendToOthers(index, newcomer, chatMessage(joinNotice(name, more)).toUtf8()))
        return;
    m_log.AppendLog(joinLogLine(name));
}

// Sends the bytes to every open slot but the newcomer's, yielding after each send, while
// the newcomer is there; false once it has left.
bool ServerHub::sendToOthers(int index, quint64 newcomer, const QByteArray &bytes)
{
    const int bound = m_slots.SizeOfClient;
    for (int p = 1; p <= bound; ++p) {
        if (hasLeft(index, newcomer))
            return false;
        if (p == index || !isOpen(p))
            continue;
        m_sockets.sendData(p, bytes);
        DoEvents();
    }
    return !hasLeft(index, newcomer);
}
