// SPDX-License-Identifier: MIT
#pragma once

#include "connection.h"
#include "fastpath.h"
#include "socketarray.h"

#include <QHash>
#include <QObject>

#include <array>
#include <memory>

class Listener;
class QSocketNotifier;
class QTcpSocket;

// The chat window's socket array over QTcpServer/QTcpSocket. Every event is raised
// on the GUI thread with the element's index first.
//
// Guarantees beyond plain Qt sockets:
// - text is UTF-8, decoded per element with a stateful decoder, so a character split
//   across two reads arrives whole; invalid bytes and NUL become U+FFFD;
// - no event is raised from inside a call of a Qt socket or listener: their signals only
//   note what happened, and the events are raised by the pump, which the event loop (or
//   a yield) runs when it starts a round or is about to wait. So a handler that yields never runs a nested event loop inside a
//   QTcpSocket's own code, and nothing a handler does can pull a socket out from under
//   a call of its own;
// - DataArrival for an element is never raised while a DataArrival handler of the same
//   element is still running (during a yield): the data waits and is raised after the
//   running handler returns, so each peer's text keeps its order;
// - an element may be unloaded from inside its own handler; it raises nothing afterwards;
// - a peer's orderly close or reset is Close, raised after the last text; other failures
//   are Error; closing an element ourselves raises nothing;
// - a connection request that no handler accepts is closed; one that is refused is sent
//   its text and closed, and what it sends meanwhile is dropped;
// - at most MaxQueuedBytes may wait unsent for one peer: past that the connection is
//   dropped and reported as Close, so a peer that does not read cannot grow our memory;
// - what handlers send while an event is raised is written when the outermost handler
//   returns, one write per peer for everything it sent, in the order it was sent.
//
// Lifetime of sockets and listeners: an object that leaves the table (unloaded, replaced,
// refused, failed to listen) is retired: detached from us and closed at once, and kept.
// Retired objects are destroyed only when no event of ours is being raised at any depth,
// by a queued call that the event loop runs; one that finds an event still being raised
// leaves them to the outermost event, which queues it again when it ends. Never
// deleteLater(): the hub's yield runs processEvents() inside its handlers, and a nested
// processEvents() carries out a deleteLater() that was asked for deeper down while a call
// of that very object may still be on the stack below it.
//
// Words for ending things, from the handlers' side inward:
// - unload: the element leaves the table (what it held is released);
// - close: we end the element's connection or stop its listening, in order (what was
//   sent is written first); nothing more is raised for it;
// - release: an element is emptied, keeping its place: its connection or listener is
//   retired (before another is put in, or on unload);
// - retire: a Qt object is taken out of use at once (detached from us, aborted or
//   closed) and kept until it may be destroyed;
// - reap: the retired objects are destroyed, once no event of ours is being raised;
// - drop (a connection's own): a peer that does not read what we send is aborted, and
//   that is raised as its Close.
//
// The parts: each element holds a Connection (connection.h), which owns its stream
// (stream.h) and keeps everything per socket, or a Listener (listener.h), which owns its
// QTcpServer. Both are retired whole, with their Qt objects, under the rule above. This
// class is the table from slot number to them, and raises their events. The system calls
// beside Qt's are in fastpath.h: made on Linux, stood in for by the portable fallback
// elsewhere. On Linux the hub's connections are plain descriptors, watched together by one
// edge-triggered set (fastpath::StreamWatch) that the event loop sees as one descriptor;
// the client's connection, and all of them on the portable fallback, are QTcpSockets.
class Winsock : public QObject, public SocketArray
{
    Q_OBJECT

public:
    static constexpr int MaxElements = 51;
    static constexpr qint64 MaxQueuedBytes = Connection::MaxQueuedBytes;
    static constexpr qint64 ReadBufferBytes = Connection::ReadBufferBytes;
    // What is sent inside an event handler is written when the handler returns, or
    // once this much has gathered for one peer.
    static constexpr qint64 OutboxFlushBytes = Connection::OutboxFlushBytes;
    // A refused connection is kept until its peer has closed, at most RefusedLingerMs and
    // at most MaxRefusedLingering at once; past either it is simply closed.
    static constexpr int RefusedLingerMs = 5000;
    static constexpr int MaxRefusedLingering = 64;

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    void load(int index) override;
    void unload(int index) override;
    bool isLoaded(int index) const override;
    quint64 serial(int index) const override;

    bool listen(int index, quint16 port, QString *error) override;
    void accept(int index, qint64 requestID) override;
    void refuse(qint64 requestID, const QByteArray &utf8) override;
    void connectToHost(int index, const QString &host, quint16 port) override;
    bool isConnected(int index) const override;
    QString localIP() const override;

    using SocketArray::sendData;
    void sendData(int index, const QByteArray &utf8) override;
    QString getData(int index) override;
    void close(int index) override;

    // Whether a connection of the hub, or the listening socket, has something waiting to
    // be handled, or an event of ours is queued. Cheap: one non-blocking system call.
    bool eventsPending() override;

    quint16 serverPort(int index) const;
    qint64 bytesQueued(int index) const;

signals:
    void ConnectionRequest(int index, qint64 requestID);
    void Connect(int index);
    void DataArrival(int index, qint64 bytesTotal);
    void Close(int index);
    void Error(int index, const QString &description);

private:
    // One loaded element: at most one of connection and listener.
    struct Element
    {
        quint64 serial = 0;
        Connection *connection = nullptr;
        Listener *listener = nullptr;
        bool marked = false;         // waiting in m_ready for the pump
        bool inArrival = false;      // a DataArrival handler of this element is running
        bool arrivalPending = false; // data came while it ran
    };

    // Element `index` if it is loaded and still the one with this serial (any, with
    // AnySerial); null otherwise.
    static constexpr quint64 AnySerial = 0;
    Element *element(int index, quint64 serial) const;
    Element *emptied(int index);
    template <typename Source>
    void markOnNoted(int index, const Element *e, Source *source);
    void attach(int index, Element *e, Connection *connection);
    void release(Element *e);
    void retire(QObject *object);
    void retireRefused(QTcpSocket *socket);
    void queueReap();
    void reapRetired();
    void mark(int index, quint64 serial);
    void pump();
    void pumpIfMarked();
    void raise(int index, quint64 serial);
    bool raiseConnect(int index, quint64 serial);
    bool raiseRequests(int index, quint64 serial);
    bool raiseText(int index, quint64 serial);
    void raiseEnd(int index, quint64 serial);
    void acceptWaiting(int index, quint64 serial);
    bool takeChanges();
    void flushAll();

    // Held while the pump raises events: sends are collected and written when the
    // outermost one ends, and retired objects are destroyed only after it has ended.
    class EventScope
    {
    public:
        explicit EventScope(Winsock *w);
        ~EventScope();
        EventScope(const EventScope &) = delete;
        EventScope &operator=(const EventScope &) = delete;

    private:
        Winsock *m_w;
    };

    std::array<std::unique_ptr<Element>, MaxElements> m_elements;
    QHash<qint64, qintptr> m_pending; // offered by ConnectionRequest, not yet taken
    QList<QTcpSocket *> m_refused; // told why, waiting for the peer to close
    QList<std::pair<int, quint64>> m_ready; // elements with something to raise, in order
    bool m_pumpQueued = false; // marked elements wait for the pump
    bool m_loopHooked = false; // the event loop runs the pump when it starts a round
    int m_depth = 0; // EventScopes open
    QList<QObject *> m_retired;
    bool m_reapQueued = false;
    fastpath::ReadinessProbe m_probe; // the hub's listener
    fastpath::StreamWatch m_watch;    // the hub's connections (not on the portable fallback)
    QSocketNotifier *m_watchNotifier = nullptr;
    QList<int> m_dirty; // elements with gathered sends, in the order they began
    quint64 m_nextSerial = 0;
    qint64 m_nextRequest = 0;
};
