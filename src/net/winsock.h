// SPDX-License-Identifier: MIT
#pragma once

#include "connection.h"
#include "socketarray.h"

#include <QHash>
#include <QObject>

#include <array>
#include <memory>

class QTcpServer;
class QTcpSocket;

// The chat window's socket array over QTcpServer and QTcpSocket. Every event is raised on
// the GUI thread with the element's index first. Beyond plain Qt sockets:
// - text is UTF-8, decoded per element (a character split across two reads arrives whole;
//   invalid bytes and NUL become U+FFFD), and a message the network split is put back
//   together (messagejoiner.h);
// - no event is raised from inside a call of a Qt socket or server: their signals only
//   note what happened and mark the element, and one pump, a call queued once for all that
//   is marked meanwhile, raises the events when the event loop (or a yield) runs it;
// - DataArrival is never raised for an element while its DataArrival handler is still
//   running (during a yield): the data waits, so each peer's text keeps its order;
// - an element may be unloaded from inside its own handler; it raises nothing afterwards;
// - a peer's orderly close or reset is Close, raised after the last text; other failures
//   are Error; closing an element ourselves raises nothing;
// - a connection request that no handler accepts is closed; one that is refused is sent
//   its text and closed, and what it sends meanwhile is dropped;
// - past MaxQueuedBytes waiting unsent, a peer is dropped and reported as Close;
// - what handlers send while an event is raised is written when the outermost handler
//   returns, one write per peer, in the order it was sent.
//
// Lifetime: an object that leaves the table is retired: detached from us and closed at
// once, and kept until no event of ours is being raised at any depth, when a queued reap
// destroys it. Never deleteLater(): the hub's yield runs processEvents() inside handlers,
// and a nested processEvents() carries out a deleteLater() asked for deeper down while a
// call of that very object may still be on the stack below it. The verbs for ending
// things (unload, close, release, retire, reap, drop) are defined in docs/architecture.md.
class Winsock : public QObject, public SocketArray
{
    Q_OBJECT

public:
    static constexpr int MaxElements = 51;
    // A refused connection lingers until its peer has closed, at most RefusedLingerMs and
    // MaxRefusedLingering at once; past either it is simply closed.
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

    quint16 serverPort(int index) const;
    qint64 bytesQueued(int index) const;

signals:
    void ConnectionRequest(int index, qint64 requestID);
    void Connect(int index);
    void DataArrival(int index, qint64 bytesTotal);
    void Close(int index);
    void Error(int index, const QString &description);

private:
    // One loaded element: at most one of connection and server.
    struct Element
    {
        quint64 serial = 0;
        Connection *connection = nullptr;
        QTcpServer *server = nullptr;
        bool requestsWaiting = false; // the server has connections to offer
        QString serverError;          // the server failed to accept one
        bool marked = false;          // waiting in m_ready for the pump
        bool inArrival = false;       // a DataArrival handler of this element is running
        bool arrivalPending = false;  // data came while it ran
    };

    // Element `index` while it is the one with this serial (any, with AnySerial), or null.
    static constexpr quint64 AnySerial = 0;
    Element *element(int index, quint64 serial) const;
    Element *emptied(int index);
    void attach(int index, Element *e, Connection *connection);
    void release(Element *e);
    void retire(QObject *object);
    void retireRefused(QTcpSocket *socket);
    void queueReap();
    void reapRetired();
    void mark(int index, quint64 serial);
    void pump();
    void raise(int index, quint64 serial);
    bool raiseConnect(int index, quint64 serial);
    bool raiseRequests(int index, quint64 serial);
    bool raiseText(int index, quint64 serial);
    void raiseEnd(int index, quint64 serial);
    void flushAll();

    std::array<std::unique_ptr<Element>, MaxElements> m_elements;
    QHash<qint64, QTcpSocket *> m_pending; // offered by ConnectionRequest, not yet taken
    QList<QTcpSocket *> m_refused; // told why, waiting for the peer to close
    QList<std::pair<int, quint64>> m_ready; // elements with something to raise, in order
    bool m_pumpQueued = false;
    int m_depth = 0; // pumps running: sends are gathered, nothing retired is destroyed
    QList<QObject *> m_retired;
    bool m_reapQueued = false;
    QList<int> m_dirty; // elements with gathered sends, in the order they began
    quint64 m_nextSerial = 0;
    qint64 m_nextRequest = 0;
};
