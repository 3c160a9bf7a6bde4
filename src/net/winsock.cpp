// SPDX-License-Identifier: MIT
// The socket array's table from slot number to connection or listener, and the calls of
// SocketArray on it. Raising the events is in winsockevents.cpp.

#include "winsock.h"

#include "listener.h"
#include "stream.h"

#include <QAbstractEventDispatcher>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <QTimer>

Winsock::Winsock(QObject *parent)
    : QObject(parent)
{
    load(0); // element 0 exists from the start
    // The pump runs when the event loop next starts a round or is about to wait (see
    // mark()). Both come from the loop itself, never from inside a socket's call.
    if (auto *loop = QAbstractEventDispatcher::instance(thread())) {
        connect(loop, &QAbstractEventDispatcher::awake, this, &Winsock::pumpIfMarked);
        connect(loop, &QAbstractEventDispatcher::aboutToBlock, this, &Winsock::pumpIfMarked);
        m_loopHooked = true;
    }
    // What the hub's connections see is taken when the event loop finds the set ready,
    // and raised there and then: like awake and aboutToBlock, the notifier is the loop's
    // own call, never a socket's, and a line is relayed before the timers that are due in
    // the same round (the log's refresh among them) run. Inside an event of ours (a
    // yield) the pump is posted as for any mark.
    if (m_watch.handle() >= 0) {
        m_watchNotifier = new QSocketNotifier(m_watch.handle(), QSocketNotifier::Read, this);
        connect(m_watchNotifier, &QSocketNotifier::activated, this, [this] {
            takeChanges();
            if (m_depth == 0)
                pumpIfMarked();
        });
    }
}

Winsock::~Winsock()
{
    for (auto &e : m_elements) {
        if (e)
            release(e.get());
    }
    for (const qintptr fd : std::as_const(m_pending))
        fastpath::closeDescriptor(fd);
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

// Empties the element: its connection or listener leaves the table, and with it the
// text, the sends and the events it had noted.
void Winsock::release(Element *e)
{
    if (e->connection) {
        m_watch.unwatch(e->connection->descriptor());
        retire(std::exchange(e->connection, nullptr));
    }
    if (e->listener) {
        m_probe.unwatch(e->listener->descriptor());
        retire(std::exchange(e->listener, nullptr));
    }
    e->arrivalPending = false;
}

// The loaded element, emptied for a new connection or listener; null when not loaded.
Winsock::Element *Winsock::emptied(int index)
{
    Element *e = element(index, AnySerial);
    if (e)
        release(e);
    return e;
}

// What the connection or listener notes marks the element, as long as it is the
// element's own (a connection's note may come after it left: the serial tells).
template <typename Source>
void Winsock::markOnNoted(int index, const Element *e, Source *source)
{
    const quint64 s = e->serial;
    connect(source, &Source::noted, this, [this, index, s] { mark(index, s); });
}

void Winsock::attach(int index, Element *e, Connection *connection)
{
    e->connection = connection;
    markOnNoted(index, e, connection);
}

bool Winsock::listen(int index, quint16 port, QString *error)
{
    Element *e = emptied(index);
    if (!e)
        return false;
    auto *listener = new Listener(this);
    if (!listener->listen(port, error)) {
        retire(listener);
        return false;
    }
    e->listener = listener;
    markOnNoted(index, e, listener);
    m_probe.watch(listener->descriptor());
    return true;
}

quint16 Winsock::serverPort(int index) const
{
    const Element *e = element(index, AnySerial);
    return e && e->listener ? e->listener->port() : 0;
}

void Winsock::accept(int index, qint64 requestID)
{
    if (!m_pending.contains(requestID))
        return;
    const qintptr fd = m_pending.take(requestID);
    Element *e = emptied(index);
    if (!e) {
        fastpath::closeDescriptor(fd);
        return;
    }
    auto *connection = new Connection(fastpath::openStream(fd, nullptr), this);
    attach(index, e, connection);
    connection->setOptions();
    // The element's number and serial, so that a change seen after it left is not
    // taken for its successor's.
    m_watch.watch(fd, quint64(index) | e->serial << 8);
    // Text may already be waiting, sent right after connecting; the peer may even have
    // left again while its connection waited to be taken. Both are raised as usual:
    // the text, then the close.
    if (connection->noteWhatWaits())
        mark(index, e->serial);
}

// The refused peer is told why before the close. Its write side is shut at once, so that
// the text and then the end of the connection reach it, while what it sends is read and
// dropped until it closes too: closing with its text unread would be a reset, which can
// cost it the text. Without a half close (the portable fallback) it is closed at once.
void Winsock::refuse(qint64 requestID, const QByteArray &utf8)
{
    if (!m_pending.contains(requestID))
        return;
    auto *socket = new QTcpSocket;
    socket->setSocketDescriptor(m_pending.take(requestID));
    socket->write(utf8);
    socket->flush();
    if (m_refused.size() >= MaxRefusedLingering || socket->bytesToWrite() != 0
        || !fastpath::shutdownWrite(socket->socketDescriptor())) {
        retire(socket);
        return;
    }
    socket->setParent(this);
    m_refused.append(socket);
    // These run inside the socket's own calls; they only read, or retire, which destroys
    // nothing there.
    connect(socket, &QTcpSocket::readyRead, this, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { retireRefused(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { retireRefused(socket); });
    QTimer::singleShot(RefusedLingerMs, socket, [this, socket] { retireRefused(socket); });
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
    auto *stream = new QtStream(new QTcpSocket, nullptr);
    attach(index, e, new Connection(stream, this));
    stream->socket()->connectToHost(host, port);
}

bool Winsock::isConnected(int index) const
{
    const Element *e = element(index, AnySerial);
    return e && e->connection && e->connection->isConnected();
}

namespace {

QString firstIPv4(const QNetworkInterface &interface)
{
    if (!interface.isValid() || !(interface.flags() & QNetworkInterface::IsUp))
        return {};
    const auto entries = interface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        const QHostAddress a = entry.ip();
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            return a.toString();
    }
    return {};
}

} // namespace

// The address people on the LAN can reach: that of the interface holding the default
// route. A machine often has other interfaces too, such as a bridge for virtual machines
// or containers made before its LAN interface, whose address nobody on the LAN can reach.
// Without a default route, the first address that is up; without any, loopback.
QString Winsock::localIP() const
{
    for (const QString &name : fastpath::defaultRouteInterfaces()) {
        if (const QString a = firstIPv4(QNetworkInterface::interfaceFromName(name)); !a.isEmpty())
            return a;
    }
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (const QString a = firstIPv4(interface); !a.isEmpty())
            return a;
    }
    return QStringLiteral("127.0.0.1");
}

// Outside an event handler the bytes are written at once. Inside one they are gathered,
// and written in one go when the handler returns (or when much has gathered), so that
// lines relayed together cost one write per peer.
void Winsock::sendData(int index, const QByteArray &utf8)
{
    Element *e = element(index, AnySerial);
    if (e && e->connection && e->connection->send(utf8, m_depth > 0) == Connection::Sent::OutboxBegun)
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
    if (e && e->listener)
        e->listener->close();
}

qint64 Winsock::bytesQueued(int index) const
{
    const Element *e = element(index, AnySerial);
    return e && e->connection ? e->connection->bytesQueued() : 0;
}

