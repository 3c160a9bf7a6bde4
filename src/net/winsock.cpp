// SPDX-License-Identifier: MIT
// The socket array's table from slot number to connection or server, and the calls of
// SocketArray on it. Raising the events is in winsockevents.cpp.

#include "winsock.h"

#include "localaddress.h"
#include "tcpcalls.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

Winsock::Winsock(QObject *parent)
    : QObject(parent)
{
    load(0); // element 0 exists from the start
}

Winsock::~Winsock()
{
    for (auto &e : m_elements) {
        if (e)
            release(e.get());
    }
    for (QTcpSocket *s : std::as_const(m_pending))
        retire(s);
    for (QTcpSocket *s : std::as_const(m_refused))
        retire(s);
    qDeleteAll(std::exchange(m_retired, {}));
}

Winsock::Element *Winsock::element(int index, quint64 serial) const
{
    if (index < 0 || index >= MaxElements)
        return nullptr;
    Element *e = m_elements[index].get();
    if (!e || (serial != AnySerial && e->serial != serial))
        return nullptr;
    return e;
}

void Winsock::load(int index)
{
    if (index < 0 || index >= MaxElements || m_elements[index])
        return;
    auto e = std::make_unique<Element>();
    e->serial = ++m_nextSerial;
    m_elements[index] = std::move(e);
}

void Winsock::unload(int index)
{
    if (index <= 0 || index >= MaxElements || !m_elements[index])
        return; // element 0 is part of the window and is never unloaded
    release(m_elements[index].get());
    m_elements[index].reset();
}

bool Winsock::isLoaded(int index) const
{
    return element(index, AnySerial) != nullptr;
}

quint64 Winsock::serial(int index) const
{
    const Element *e = element(index, AnySerial);
    return e ? e->serial : 0;
}

// Empties the element: its connection or server leaves the table, and with it the text,
// the sends and the events it had noted.
void Winsock::release(Element *e)
{
    if (e->connection) {
        m_pastHoldTimeOuts += e->connection->holdTimeOuts();
        retire(std::exchange(e->connection, nullptr));
    }
    if (e->server)
        retire(std::exchange(e->server, nullptr));
    e->requestsWaiting = false;
    e->serverError.clear();
    e->arrivalPending = false;
}

// The loaded element, emptied for a new connection or server; null when not loaded.
Winsock::Element *Winsock::emptied(int index)
{
    Element *e = element(index, AnySerial);
    if (e)
        release(e);
    return e;
}

// What the connection notes marks the element, as long as it is the element's own (a note
// may come after it left: the serial tells).
void Winsock::attach(int index, Element *e, Connection *connection)
{
    e->connection = connection;
    const quint64 s = e->serial;
    connect(connection, &Connection::noted, this, [this, index, s] { mark(index, s); });
}

bool Winsock::listen(int index, quint16 port, QString *error)
{
    Element *e = emptied(index);
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
    connect(server, &QTcpServer::newConnection, this, [this, index, s] {
        if (Element *e = element(index, s)) {
            e->requestsWaiting = true;
            mark(index, s);
        }
    });
    connect(server, &QTcpServer::acceptError, this, [this, index, s] {
        if (Element *e = element(index, s); e && e->server) {
            e->serverError = e->server->errorString();
            mark(index, s);
        }
    });
    return true;
}

quint16 Winsock::serverPort(int index) const
{
    const Element *e = element(index, AnySerial);
    return e && e->server ? e->server->serverPort() : 0;
}

void Winsock::accept(int index, qint64 requestID)
{
    QTcpSocket *socket = m_pending.take(requestID);
    if (!socket)
        return;
    Element *e = emptied(index);
    if (!e) {
        retire(socket);
        return;
    }
    auto *connection = new Connection(socket, this);
    attach(index, e, connection);
    connection->setOptions();
    // Text may already be waiting, sent right after connecting; the peer may even have
    // left again while its connection waited to be taken. Both are raised as usual: the
    // text, then the close.
    if (connection->noteWhatWaits())
        mark(index, e->serial);
}

// The refused peer is told why before the close. Its write side is shut at once, so that
// the text and then the end of the connection reach it, while what it sends is read and
// dropped until it closes too: closing with its text unread would be a reset, which can
// cost it the text. Without a half close it is closed at once.
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
    // These run inside the socket's own calls; they only read, or retire, which destroys
    // nothing there.
    connect(socket, &QTcpSocket::readyRead, this, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { retireRefused(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { retireRefused(socket); });
    QTimer::singleShot(RefusedLingerMs, socket, [this, socket] { retireRefused(socket); });
    socket->readAll();
}

void Winsock::retireRefused(QTcpSocket *socket)
{
    if (m_refused.removeOne(socket))
        retire(socket);
}

void Winsock::connectToHost(int index, const QString &host, quint16 port)
{
    Element *e = emptied(index);
    if (!e)
        return;
    auto *socket = new QTcpSocket;
    attach(index, e, new Connection(socket, this));
    socket->connectToHost(host, port);
}

bool Winsock::isConnected(int index) const
{
    const Element *e = element(index, AnySerial);
    return e && e->connection && e->connection->isConnected();
}

QString Winsock::localIP() const
{
    return localAddress();
}

// Outside an event handler the bytes are written at once. Inside one they are gathered,
// and written in one go when the handler returns (or when much has gathered), so that
// lines relayed together cost one write per peer.
void Winsock::sendData(int index, const QByteArray &utf8)
{
    Element *e = element(index, AnySerial);
    if (e && e->connection && e->connection->send(utf8, m_depth > 0))
        m_dirty.append(index);
}

QString Winsock::getData(int index)
{
    const Element *e = element(index, AnySerial);
    return e && e->connection ? e->connection->takeText() : QString();
}

void Winsock::close(int index)
{
    Element *e = element(index, AnySerial);
    if (e && e->connection)
        e->connection->close();
    if (e && e->server) {
        e->server->close();
        while (e->server->hasPendingConnections())
            retire(e->server->nextPendingConnection());
        e->requestsWaiting = false;
        e->serverError.clear();
    }
}

qint64 Winsock::bytesQueued(int index) const
{
    const Element *e = element(index, AnySerial);
    return e && e->connection ? e->connection->bytesQueued() : 0;
}

qint64 Winsock::holdTimeOuts() const
{
    qint64 n = m_pastHoldTimeOuts;
    for (const auto &e : m_elements) {
        if (e && e->connection)
            n += e->connection->holdTimeOuts();
    }
    return n;
}
