// SPDX-License-Identifier: MIT
// The socket array's events: marking an element, the pump that raises what was marked,
// and the lifetime rule for what leaves the table (see winsock.h).

#include "winsock.h"

#include <QTcpServer>
#include <QTcpSocket>

// Notes that the element has something to raise. Called from what connections and servers
// note, inside their own calls, which must not run handlers: the pump is queued once, and
// runs when the event loop (or a yield) next handles posted calls, for all that was marked
// meanwhile.
void Winsock::mark(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (!e || e->marked)
        return;
    e->marked = true;
    m_ready.append({index, serial});
    if (!std::exchange(m_pumpQueued, true))
        QMetaObject::invokeMethod(this, &Winsock::pump, Qt::QueuedConnection);
}

// Raises what the marked elements have to raise, in the order they were marked. What an
// element marks meanwhile, or still has after one bounded read, waits for the next run,
// so that other elements get their turn in between.
void Winsock::pump()
{
    m_pumpQueued = false;
    ++m_depth;
    const auto ready = std::exchange(m_ready, {});
    for (const auto &[index, serial] : ready) {
        if (Element *e = element(index, serial)) {
            e->marked = false;
            raise(index, serial);
        }
    }
    if (--m_depth == 0) {
        flushAll();
        queueReap();
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

// Offers every connection waiting at the server to the handlers, one by one; one that no
// handler takes is closed.
bool Winsock::raiseRequests(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (!e->server || !std::exchange(e->requestsWaiting, false))
        return true;
    while (e && e->server && e->server->hasPendingConnections()) {
        QTcpSocket *socket = e->server->nextPendingConnection();
        socket->setParent(this); // kept, whatever becomes of the server
        const qint64 id = ++m_nextRequest;
        m_pending.insert(id, socket);
        emit ConnectionRequest(index, id);
        if (QTcpSocket *untaken = m_pending.take(id))
            retire(untaken);
        e = element(index, serial);
    }
    return e != nullptr;
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
    const QString error = e->connection ? e->connection->takeError() : std::exchange(e->serverError, QString());
    if (!error.isEmpty()) {
        emit Error(index, error);
        if (!(e = element(index, serial)))
            return;
    }
    if (e->connection && e->connection->takeClosed())
        emit Close(index);
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
// (see the lifetime rule in the header): it may be the very object whose signal is being
// handled now, several yields further down the stack. A connection is kept whole, with
// its socket.
void Winsock::retire(QObject *object)
{
    object->disconnect(this);
    if (auto *connection = qobject_cast<Connection *>(object))
        connection->retire();
    else if (auto *server = qobject_cast<QTcpServer *>(object))
        server->close();
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
// outermost pump queues it again when it ends.
void Winsock::reapRetired()
{
    m_reapQueued = false;
    if (m_depth > 0)
        return;
    qDeleteAll(std::exchange(m_retired, {}));
}
