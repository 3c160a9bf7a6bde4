// SPDX-License-Identifier: MIT
#include "winsock.h"

#include "tcpcalls.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

Winsock::Winsock(QObject *parent)
    : QObject(parent)
{
    // A zero timer, not a posted call: the event loop runs it in the very round in which
    // the sockets signalled, after their calls returned, and nothing has to wake it.
    m_pumpTimer.setSingleShot(true);
    m_pumpTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pumpTimer, &QTimer::timeout, this, &Winsock::pump);
    // The reap. Inside a yield of a handler of ours it does nothing: the outermost pump
    // starts it again.
    m_reapTimer.setSingleShot(true);
    connect(&m_reapTimer, &QTimer::timeout, this, [this] {
        if (m_depth == 0)
            qDeleteAll(std::exchange(m_retired, {}));
    });
    load(0); // element 0 exists from the start
}

Winsock::~Winsock()
{
    for (int index = 0; index < MaxElements; ++index)
        release(index);
    for (QTcpSocket *s : m_pending.values() + m_refused)
        retire(s);
    qDeleteAll(std::exchange(m_retired, {}));
}

Winsock::Element *Winsock::element(int index, quint64 serial) const
{
    Element *e = index >= 0 && index < MaxElements ? m_elements[index].get() : nullptr;
    return e && (serial == AnySerial || e->serial == serial) ? e : nullptr;
}

void Winsock::load(int index)
{
    if (index >= 0 && index < MaxElements && !m_elements[index])
        m_elements[index] = std::make_unique<Element>(++m_nextSerial);
}

void Winsock::unload(int index)
{
    if (index <= 0 || index >= MaxElements || !m_elements[index])
        return; // element 0 is part of the window and is never unloaded
    release(index);
    m_elements[index].reset();
}

// The element, if loaded, emptied.
Winsock::Element *Winsock::release(int index)
{
    Element *e = element(index, AnySerial);
    if (!e)
        return nullptr;
    if (e->connection)
        retire(std::exchange(e->connection, nullptr));
    if (e->server)
        retire(std::exchange(e->server, nullptr));
    e->serverError.clear();
    e->arrivalPending = false;
    return e;
}

// What the connection notes marks the element while it is the element's own (a note may
// come after it left: the serial tells).
void Winsock::attach(int index, Element *e, Connection *connection)
{
    e->connection = connection;
    connect(connection, &Connection::noted, this, [this, index, s = e->serial] { mark(index, s); });
}

bool Winsock::listen(int index, quint16 port, QString *error)
{
    Element *e = release(index);
    if (!e)
        return false;
    auto *server = new QTcpServer(this);
    if (!server->listen(QHostAddress::Any, port)) {
        if (error)
            *error = server->errorString();
        retire(server);
        return false;
    }
    e->server = server;
    // These run inside the server's own calls: they only note and mark.
    const quint64 s = e->serial;
    connect(server, &QTcpServer::newConnection, this, [this, index, s] { mark(index, s); });
    connect(server, &QTcpServer::acceptError, this, [this, index, s, server] {
        if (Element *e = element(index, s)) {
            e->serverError = server->errorString();
            mark(index, s);
        }
    });
    return true;
}

void Winsock::accept(int index, qint64 requestID)
{
    QTcpSocket *socket = m_pending.take(requestID);
    Element *e = socket ? release(index) : nullptr;
    if (!e) {
        if (socket)
            retire(socket);
        return;
    }
    auto *connection = new Connection(socket, this);
    attach(index, e, connection);
    connection->setOptions();
    if (connection->noteWhatWaits())
        mark(index, e->serial);
}

// The refused peer is told why before the close. Its write side is shut at once, so that
// the text and then the end reach it, while what it sends is read and dropped until it
// closes too: closing with that unread would be a reset, which can cost it the text.
void Winsock::refuse(qint64 requestID, const QByteArray &utf8)
{
    QTcpSocket *socket = m_pending.take(requestID);
    if (!socket)
        return;
    socket->write(utf8);
    socket->flush();
    if (m_refused.size() >= MaxRefusedLingering || socket->bytesToWrite() != 0
        || !tcp::shutdownWrite(socket->socketDescriptor())) {
        retire(socket);
        return;
    }
    m_refused.append(socket);
    // These run inside the socket's own calls; retiring destroys nothing there.
    const auto gone = [this, socket] {
        if (m_refused.removeOne(socket))
            retire(socket);
    };
    connect(socket, &QTcpSocket::readyRead, this, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, this, gone);
    connect(socket, &QTcpSocket::errorOccurred, this, gone);
    QTimer::singleShot(RefusedLingerMs, socket, gone);
    socket->readAll();
}

void Winsock::connectToHost(int index, const QString &host, quint16 port)
{
    if (Element *e = release(index)) {
        auto *socket = new QTcpSocket;
        attach(index, e, new Connection(socket, this));
        socket->connectToHost(host, port);
    }
}

void Winsock::sendData(int index, const QByteArray &utf8)
{
    Element *e = element(index, AnySerial);
    if (e && e->connection && e->connection->send(utf8, m_depth > 0))
        m_dirty.append(index);
}

void Winsock::close(int index)
{
    Element *e = element(index, AnySerial);
    if (e && e->connection)
        e->connection->close();
    if (e && e->server) {
        e->server->close(); // which destroys the connections still waiting in it
        e->serverError.clear();
    }
}

// From inside a socket's or server's own call, which must not run handlers.
void Winsock::mark(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (!e || e->marked)
        return;
    e->marked = true;
    m_ready.append({index, serial});
    if (!m_pumpTimer.isActive())
        m_pumpTimer.start();
}

// Raises what the marked elements have, in the order they were marked. What an element
// marks meanwhile, or still has after one bounded read, waits for the next run, so that
// the others get their turn. Sends are gathered until the outermost run ends.
void Winsock::pump()
{
    ++m_depth;
    for (const auto &[index, serial] : std::exchange(m_ready, {})) {
        if (Element *e = element(index, serial)) {
            e->marked = false;
            raise(index, serial);
        }
    }
    if (--m_depth == 0) {
        flushAll();
        if (!m_retired.isEmpty())
            m_reapTimer.start();
    }
}

// A connection made or waiting, one bounded read of text, and once no text is left a
// failure and the peer's close; all of it waits while the element's DataArrival handler
// runs. Each step looks the element up afresh: a handler may have unloaded it, or put
// another connection in its place.
void Winsock::raise(int index, quint64 serial)
{
    Element *e = element(index, serial);
    e->arrivalPending = e->inArrival;
    if (!e->inArrival && raiseConnect(index, serial) && raiseRequests(index, serial) && !raiseText(index, serial))
        raiseEnd(index, serial);
}

bool Winsock::raiseConnect(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (e->connection && e->connection->takeConnected())
        emit Connect(index);
    return element(index, serial) != nullptr;
}

// Offers each waiting connection to the handlers; one that none takes is closed.
bool Winsock::raiseRequests(int index, quint64 serial)
{
    Element *e = element(index, serial);
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

// Each index is looked up afresh: handlers may have unloaded elements meanwhile. Writing
// raises nothing, so the list stays as it is; clear() keeps its storage for the next event.
void Winsock::flushAll()
{
    for (int index : std::as_const(m_dirty)) {
        if (Element *e = element(index, AnySerial); e && e->connection)
            e->connection->flush();
    }
    m_dirty.clear();
}

// Takes the object out of use at once and keeps it until no event of ours is running: it
// may be the very object whose signal is being handled, yields further down the stack.
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
    m_reapTimer.start();
}
