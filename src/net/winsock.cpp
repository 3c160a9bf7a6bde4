#include "winsock.h"

#include <QHostAddress>
#include <QNetworkInterface>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_LINUX
#include <sys/epoll.h>
#include <unistd.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// Options of every connection. Keep-alive, so that a peer that vanished without closing
// is found: first probe after a minute of silence, then every 10 s, given up after 6
// unanswered probes.
void setConnectionOptions(QTcpSocket *socket)
{
    // Lines are short and already gathered per peer before writing: no need to wait.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
#ifdef Q_OS_LINUX
    const qintptr fd = socket->socketDescriptor();
    if (fd < 0)
        return;
    int idle = 60, interval = 10, count = 6;
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
#endif
}

} // namespace

Winsock::Winsock(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_LINUX
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
#endif
    load(0); // element 0 exists from the start
}

Winsock::~Winsock()
{
#ifdef Q_OS_LINUX
    if (m_epoll >= 0)
        ::close(m_epoll);
#endif
    for (auto &e : m_elements) {
        if (e)
            releaseSocket(e.get());
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
    if (!e || (serial && e->serial != serial))
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
    releaseSocket(m_elements[index].get());
    m_elements[index].reset();
}

bool Winsock::isLoaded(int index) const
{
    return element(index, 0) != nullptr;
}

quint64 Winsock::serial(int index) const
{
    const Element *e = element(index, 0);
    return e ? e->serial : 0;
}

// Takes the object out of use at once and keeps it until no event of ours is running
// (see the lifetime rule in the header): it may be the very object whose signal is
// being handled now, several yields further down the stack.
void Winsock::retire(QObject *object)
{
    object->disconnect(this);
    if (auto *socket = qobject_cast<QTcpSocket *>(object))
        socket->abort();
    else if (auto *server = qobject_cast<QTcpServer *>(object))
        server->close();
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

void Winsock::releaseSocket(Element *e)
{
    if (e->socket) {
        unwatch(e->socket->socketDescriptor());
        retire(std::exchange(e->socket, nullptr));
    }
    if (e->server) {
        unwatch(e->server->socketDescriptor());
        retire(std::exchange(e->server, nullptr));
    }
    e->received.clear();
    e->outbox.clear();
    e->decoder.resetState();
    e->arrivalPending = false;
    forgetPending(e);
}

// Drops the events noted for the element and not yet raised.
void Winsock::forgetPending(Element *e)
{
    e->closePending = false;
    e->connectPending = false;
    e->acceptPending = false;
    e->errorPending.clear();
}

bool Winsock::listen(int index, quint16 port, QString *error)
{
    Element *e = element(index, 0);
    if (!e)
        return false;
    releaseSocket(e);
    e->closedByUs = false;
    e->server = new QTcpServer(this);
    const quint64 s = e->serial;
    connect(e->server, &QTcpServer::newConnection, this, [this, index, s] {
        if (Element *el = element(index, s)) {
            el->acceptPending = true;
            mark(index, s);
        }
    });
    connect(e->server, &QTcpServer::acceptError, this, [this, index, s] {
        if (Element *el = element(index, s); el && el->server) {
            el->errorPending = el->server->errorString();
            mark(index, s);
        }
    });
    if (!e->server->listen(QHostAddress::Any, port)) {
        if (error)
            *error = e->server->errorString();
        retire(std::exchange(e->server, nullptr));
        return false;
    }
    watch(e->server->socketDescriptor());
    return true;
}

quint16 Winsock::serverPort(int index) const
{
    const Element *e = element(index, 0);
    return e && e->server ? e->server->serverPort() : 0;
}

// Offers every connection waiting at the listener to the handlers, one by one.
void Winsock::acceptWaiting(int index, quint64 serial)
{
    Element *e = element(index, serial);
    while (e && e->server && e->server->hasPendingConnections()) {
        QTcpSocket *socket = e->server->nextPendingConnection();
        socket->setParent(nullptr);
        const qint64 id = ++m_nextRequest;
        m_pending.insert(id, socket);
        emit ConnectionRequest(index, id);
        // Not taken by any handler: the connection is closed.
        if (QTcpSocket *left = m_pending.take(id))
            retire(left);
        e = element(index, serial);
    }
}

void Winsock::accept(int index, qint64 requestID)
{
    Element *e = element(index, 0);
    QTcpSocket *socket = m_pending.take(requestID);
    if (!socket)
        return;
    if (!e) {
        retire(socket);
        return;
    }
    releaseSocket(e);
    e->closedByUs = false;
    attachSocket(index, e, socket);
    setConnectionOptions(socket);
    watch(socket->socketDescriptor());
    // Text may already be waiting, sent right after connecting; the peer may even have
    // left again while its connection waited to be taken. Both are raised as usual:
    // the text, then the close.
    e->closePending = socket->state() != QAbstractSocket::ConnectedState;
    if (socket->bytesAvailable() > 0 || e->closePending)
        mark(index, e->serial);
}

// The refused peer is told why before the close. Its write side is shut at once, so that
// the text and then the end of the connection reach it, while what it sends is read and
// dropped until it closes too: closing with its text unread would be a reset, which can
// cost it the text.
void Winsock::refuse(qint64 requestID, const QByteArray &utf8)
{
    QTcpSocket *socket = m_pending.take(requestID);
    if (!socket)
        return;
    socket->readAll();
    socket->write(utf8);
    socket->flush();
    bool lingering = m_refused.size() < MaxRefusedLingering && socket->bytesToWrite() == 0;
#ifdef Q_OS_LINUX
    lingering = lingering && ::shutdown(int(socket->socketDescriptor()), SHUT_WR) == 0;
#else
    lingering = false; // without a half close, closed at once
#endif
    if (!lingering) {
        retire(socket);
        return;
    }
    socket->setParent(this);
    m_refused.append(socket);
    // These run inside the socket's own calls; they only read, or retire, which destroys
    // nothing there.
    connect(socket, &QTcpSocket::readyRead, this, [socket] { socket->readAll(); });
    connect(socket, &QTcpSocket::disconnected, this, [this, socket] { dropRefused(socket); });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, socket] { dropRefused(socket); });
    QTimer::singleShot(RefusedLingerMs, socket, [this, socket] { dropRefused(socket); });
}

void Winsock::dropRefused(QTcpSocket *socket)
{
    if (m_refused.removeOne(socket))
        retire(socket);
}

void Winsock::attachSocket(int index, Element *e, QTcpSocket *socket)
{
    e->socket = socket;
    socket->setParent(this);
    socket->setReadBufferSize(ReadBufferBytes);
    const quint64 s = e->serial;
    connect(socket, &QTcpSocket::readyRead, this, [this, index, s] { mark(index, s); });
    connect(socket, &QTcpSocket::disconnected, this, [this, index, s] {
        if (Element *el = element(index, s); el && !el->closedByUs) {
            el->closePending = true;
            mark(index, s);
        }
    });
    connect(socket, &QTcpSocket::errorOccurred, this, [this, index, s] { onSocketError(index, s); });
}

void Winsock::connectToHost(int index, const QString &host, quint16 port)
{
    Element *e = element(index, 0);
    if (!e)
        return;
    releaseSocket(e);
    e->closedByUs = false;
    auto *socket = new QTcpSocket(this);
    attachSocket(index, e, socket);
    const quint64 s = e->serial;
    connect(socket, &QTcpSocket::connected, this, [this, index, s] {
        if (Element *el = element(index, s); el && el->socket) {
            el->connectPending = true;
            mark(index, s);
        }
    });
    socket->connectToHost(host, port);
}

bool Winsock::isConnected(int index) const
{
    const Element *e = element(index, 0);
    return e && e->socket && e->socket->state() == QAbstractSocket::ConnectedState;
}

QString Winsock::localIP() const
{
    const auto addresses = QNetworkInterface::allAddresses();
    for (const QHostAddress &a : addresses) {
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            return a.toString();
    }
    return QStringLiteral("127.0.0.1");
}

void Winsock::sendData(int index, const QByteArray &utf8)
{
    Element *e = element(index, 0);
    if (!e || !e->socket || e->socket->state() != QAbstractSocket::ConnectedState)
        return;
    if (e->socket->bytesToWrite() + e->outbox.size() + utf8.size() > MaxQueuedBytes) {
        // The peer does not read what we send: drop it rather than queue without end.
        // It is reported as the peer's close once the running handler has yielded.
        e->outbox.clear();
        e->closedByUs = true;
        e->socket->abort();
        e->closePending = true;
        mark(index, e->serial);
        return;
    }
    if (m_depth == 0) {
        writeNow(e, utf8);
        return;
    }
    // Inside an event handler: collected, and written in one go when the handler returns
    // (or when much has gathered), so that lines relayed together cost one write per peer.
    if (e->outbox.isEmpty())
        m_dirty.append(index);
    e->outbox += utf8;
    if (e->outbox.size() >= OutboxFlushBytes)
        flushOutbox(e);
}

void Winsock::flushOutbox(Element *e)
{
    if (e->outbox.isEmpty() || !e->socket)
        return;
    writeNow(e, e->outbox);
    e->outbox.clear();
}

// Writes straight to the connection when nothing of ours is still waiting in the
// socket's own buffer; what the connection does not take at once, and anything after
// it, goes through the socket's buffer, which writes it when the peer reads.
void Winsock::writeNow(Element *e, const QByteArray &bytes)
{
    qsizetype done = 0;
#ifdef Q_OS_LINUX
    const qintptr fd = e->socket->socketDescriptor();
    if (fd >= 0 && e->socket->bytesToWrite() == 0) {
        const ssize_t n = ::send(int(fd), bytes.constData(), size_t(bytes.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == bytes.size())
            return;
        done = n > 0 ? n : 0; // a failure is left to the socket, which reports it
    }
#endif
    e->socket->write(bytes.constData() + done, bytes.size() - done);
    e->socket->flush();
}

void Winsock::flushAll()
{
    // Handlers may load and unload elements meanwhile: each index is looked up afresh.
    const QList<int> dirty = std::exchange(m_dirty, {});
    for (int index : dirty) {
        if (Element *e = element(index, 0))
            flushOutbox(e);
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

QString Winsock::getData(int index)
{
    Element *e = element(index, 0);
    if (!e)
        return {};
    if (e->socket)
        readInto(e);
    return std::exchange(e->received, QString());
}

void Winsock::close(int index)
{
    Element *e = element(index, 0);
    if (!e)
        return;
    flushOutbox(e);
    e->closedByUs = true;
    forgetPending(e);
    if (e->server)
        e->server->close();
    if (e->socket && e->socket->state() != QAbstractSocket::UnconnectedState)
        e->socket->close();
}

qint64 Winsock::bytesQueued(int index) const
{
    const Element *e = element(index, 0);
    return e && e->socket ? e->socket->bytesToWrite() + e->outbox.size() : 0;
}

// Reads what the socket holds, at most one read buffer's worth, through the element's
// decoder. Returns true when new text is ready to be raised.
bool Winsock::readInto(Element *e)
{
    if (!e->socket->isOpen()) // dropped by us (see sendData): nothing more to read
        return !e->received.isEmpty();
    const QByteArray bytes = e->socket->read(ReadBufferBytes);
    if (bytes.isEmpty())
        return !e->received.isEmpty();
    QString text = e->decoder.decode(bytes);
    text.replace(QChar(0), QChar::ReplacementCharacter);
    e->received += text;
    return !e->received.isEmpty();
}

// Notes that the element has something to raise and makes sure the pump runs. Called from
// the signals of sockets and listeners, which must not run handlers themselves.
void Winsock::mark(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (!e || e->marked)
        return;
    e->marked = true;
    m_ready.append({index, serial});
    if (!m_pumpQueued) {
        m_pumpQueued = true;
        QMetaObject::invokeMethod(this, &Winsock::pump, Qt::QueuedConnection);
    }
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
void Winsock::raise(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (e->inArrival) {
        e->arrivalPending = true;
        return;
    }
    e->arrivalPending = false;
    if (std::exchange(e->connectPending, false) && e->socket) {
        setConnectionOptions(e->socket);
        emit Connect(index);
        if (!(e = element(index, serial)))
            return;
    }
    if (std::exchange(e->acceptPending, false)) {
        acceptWaiting(index, serial);
        if (!(e = element(index, serial)))
            return;
    }
    if (e->socket && readInto(e)) {
        e->inArrival = true;
        emit DataArrival(index, e->received.size());
        if (!(e = element(index, serial)))
            return; // unloaded by its own handler
        e->inArrival = false;
        if (e->socket && (e->arrivalPending || e->socket->bytesAvailable() > 0 || e->closePending
                          || !e->errorPending.isEmpty()))
            mark(index, serial);
        return;
    }
    if (!e->errorPending.isEmpty()) {
        const QString description = std::exchange(e->errorPending, QString());
        emit Error(index, description);
        if (!(e = element(index, serial)))
            return;
    }
    if (std::exchange(e->closePending, false))
        emit Close(index);
}

void Winsock::onSocketError(int index, quint64 serial)
{
    Element *e = element(index, serial);
    if (!e || !e->socket || e->closedByUs)
        return;
    const auto err = e->socket->error();
    // The peer's orderly close or reset comes as the disconnected signal, i.e. Close.
    if (err == QAbstractSocket::RemoteHostClosedError)
        return;
    if (e->socket->state() == QAbstractSocket::ConnectedState && err == QAbstractSocket::SocketTimeoutError)
        return;
    e->errorPending = e->socket->errorString();
    mark(index, serial);
}

// The hub's connections are also watched by an epoll set of our own, so that a yield can
// tell in one cheap call whether any of them has something to handle.
void Winsock::watch(qintptr fd)
{
#ifdef Q_OS_LINUX
    if (m_epoll < 0 || fd < 0)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = int(fd);
    ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, int(fd), &ev);
#else
    Q_UNUSED(fd);
#endif
}

void Winsock::unwatch(qintptr fd)
{
#ifdef Q_OS_LINUX
    if (m_epoll >= 0 && fd >= 0)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, int(fd), nullptr);
#else
    Q_UNUSED(fd);
#endif
}

bool Winsock::eventsPending() const
{
    if (m_pumpQueued)
        return true;
#ifdef Q_OS_LINUX
    if (m_epoll >= 0) {
        epoll_event ev;
        return ::epoll_wait(m_epoll, &ev, 1, 0) > 0;
    }
#endif
    return true;
}
