// SPDX-License-Identifier: MIT
// The socket array's events: marking an element, the pump that raises what was marked,
// and the lifetime rule for what leaves the table (see winsock.h).

#include "winsock.h"

#include "listener.h"

#include <QTcpSocket>

// Notes that the element has something to raise and makes sure the pump runs. Called from
// what connections and listeners note, which must not run handlers themselves.
//
// What a socket notes comes from the event loop's look at the sockets; the loop then
// starts its next round, or is about to wait, and the pump runs there, so a line costs
// no posted event and no wake-up of the loop. Inside an event of ours the loop may just
// have decided to wait, so the pump is posted, which wakes it.
void Winsock::mark(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (!e || e->marked)
        return;
    e->marked = true;
    m_ready.append({index, serial});
    if (!m_pumpQueued) {
        m_pumpQueued = true;
        if (m_depth > 0 || !m_loopHooked)
            QMetaObject::invokeMethod(this, &Winsock::pump, Qt::QueuedConnection);
    }
}

void Winsock::pumpIfMarked()
{
    if (m_pumpQueued)
        pump();
}

// Raises what the marked elements have to raise, in the order they were marked. What an
// element marks meanwhile, or still has after one bounded read, waits for the next run,
// so that other elements get their turn in between.
void Winsock::pump()
{
    m_pumpQueued = false;
    EventScope scope(this);
    const auto ready = std::exchange(m_ready, {});
    for (const auto &[index, serial] : ready) {
        if (Element *e = element(index, serial)) {
            e->marked = false;
            raise(index, serial);
        }
    }
}

// Raises the element's events: a connection made or waiting, then one bounded read of
// text, and once no text is left, a failure and the peer's close. Never inside a running
// DataArrival handler of the same element: then it all waits until that handler returns.
// Each step looks the element up afresh and tells whether it is still there: a handler
// may have unloaded it, or put another connection in its place.
void Winsock::raise(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (e->inArrival) {
        e->arrivalPending = true;
        return;
    }
    e->arrivalPending = false;
    if (raiseConnect(index, serial) && raiseRequests(index, serial) && !raiseText(index, serial))
        raiseEnd(index, serial);
}

bool Winsock::raiseConnect(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (e->connection && e->connection->takeConnected()) {
        e->connection->setOptions();
        emit Connect(index);
    }
    return element(index, serial) != nullptr;
}

bool Winsock::raiseRequests(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (e->listener && e->listener->takeWaiting())
        acceptWaiting(index, serial);
    return element(index, serial) != nullptr;
}

// True when text was raised: the failure and the close wait for the next round.
bool Winsock::raiseText(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (!e->connection || !e->connection->readSome())
        return false;
    e->inArrival = true;
    emit DataArrival(index, e->connection->receivedSize());
    if (!(e = element(index, serial)))
        return true; // unloaded by its own handler
    e->inArrival = false;
    if (e->connection && (e->arrivalPending || e->connection->hasMoreToRaise()))
        mark(index, serial);
    return true;
}

void Winsock::raiseEnd(int index, quint64 serial)
{
    Element *e = element(index, serial);
    const QString error = e->connection ? e->connection->takeError()
                          : e->listener ? e->listener->takeError()
                                        : QString();
    if (!error.isEmpty()) {
        emit Error(index, error);
        if (!(e = element(index, serial)))
            return;
    }
    if (e->connection && e->connection->takeClosed())
        emit Close(index);
}

// Offers every connection waiting at the listener to the handlers, one by one.
void Winsock::acceptWaiting(int index, quint64 serial)
{
    Element *e = element(index, serial);
    while (e && e->listener) {
        const qintptr fd = e->listener->nextWaiting();
        if (fd < 0)
            return;
        const qint64 id = ++m_nextRequest;
        m_pending.insert(id, fd);
        emit ConnectionRequest(index, id);
        // Not taken by any handler: the connection is closed.
        if (m_pending.contains(id))
            fastpath::closeDescriptor(m_pending.take(id));
        e = element(index, serial);
    }
}

Winsock::EventScope::EventScope(Winsock *w)
    : m_w(w)
{
    ++m_w->m_depth;
}

Winsock::EventScope::~EventScope()
{
    if (--m_w->m_depth > 0)
        return;
    m_w->flushAll();
    m_w->queueReap();
}

void Winsock::flushAll()
{
    // Handlers may load and unload elements meanwhile: each index is looked up afresh.
    // The list's storage is kept for the next event rather than allocated for each.
    QList<int> dirty;
    dirty.swap(m_dirty);
    for (int index : std::as_const(dirty)) {
        if (Element *e = element(index, AnySerial); e && e->connection)
            e->connection->flush();
    }
    dirty.clear();
    if (m_dirty.isEmpty())
        m_dirty.swap(dirty);
}

// Takes the object out of use at once and keeps it until no event of ours is running
// (see the lifetime rule in the header): it may be the very object whose signal is
// being handled now, several yields further down the stack. A connection or listener
// is kept whole, with its socket or server.
void Winsock::retire(QObject *object)
{
    object->disconnect(this);
    if (auto *connection = qobject_cast<Connection *>(object))
        connection->retire();
    else if (auto *listener = qobject_cast<Listener *>(object))
        listener->retire();
    else if (auto *socket = qobject_cast<QTcpSocket *>(object))
        socket->abort();
    object->setParent(this);
    m_retired.append(object);
    if (m_depth == 0)
        queueReap();
}

void Winsock::queueReap()
{
    if (m_retired.isEmpty() || std::exchange(m_reapQueued, true))
        return;
    QMetaObject::invokeMethod(this, &Winsock::reapRetired, Qt::QueuedConnection);
}

// Run by the event loop. Inside a yield of a handler of ours it does nothing: the
// outermost EventScope queues it again when it ends.
void Winsock::reapRetired()
{
    m_reapQueued = false;
    if (m_depth > 0)
        return;
    qDeleteAll(std::exchange(m_retired, {}));
}

// What the hub's connections saw since the last look goes to their streams, which note it
// (an element is marked, never raised from here). True when anything was seen.
bool Winsock::takeChanges()
{
    fastpath::StreamWatch::Change changes[64];
    bool any = false;
    int n;
    do {
        n = m_watch.take(changes, 64);
        for (int i = 0; i < n; ++i) {
            const int index = int(changes[i].key & 0xff);
            if (Element *e = element(index, changes[i].key >> 8); e && e->connection)
                e->connection->noteReady(changes[i].events);
        }
        any = any || n > 0;
    } while (n == 64);
    return any;
}

bool Winsock::eventsPending()
{
    return takeChanges() || m_pumpQueued || m_probe.anyReady();
}
