// SPDX-License-Identifier: MIT
#pragma once

#include "connection.h"
#include "localaddress.h"
#include "socketarray.h"

#include <QHash>
#include <QObject>
#include <QTcpServer>
#include <QTimer>

#include <array>
#include <memory>

class QTcpSocket;

// The chat window's socket array over QTcpServer and QTcpSocket. Every event is raised on
// the GUI thread with the element's index first. Beyond plain Qt sockets:
// - text is UTF-8 (a character split across reads arrives whole; invalid bytes and NUL
//   become U+FFFD), and a message the network split is put back together;
// - no event is raised inside a Qt socket's or server's own call: their signals only mark
//   the element, and the pump, run once for all marks until it runs, raises them;
// - no DataArrival for an element while its DataArrival handler runs (in a yield): the
//   data waits, so each peer's text keeps its order; an element unloaded inside its own
//   handler raises nothing afterwards;
// - a peer's close or reset is Close, after its last text; other failures are Error;
//   closing an element ourselves raises nothing; past MaxQueuedBytes unsent a peer is
//   dropped and raised as Close;
// - a request no handler accepts is closed; a refused one is sent its text, then closed;
// - what handlers send during an event is written when the outermost one returns, one
//   write per peer, in order.
// Lifetime: what leaves the table is retired (detached and closed at once) and destroyed
// by a reap (a zero timer) only when no event of ours is being raised at any depth; never
// deleteLater(), which a yield's nested processEvents() would carry out under a call of
// that very object. The verbs for ending things: docs/architecture.md.
class Winsock : public QObject, public SocketArray
{
    Q_OBJECT

public:
    static constexpr int MaxElements = 51;
    // A refused connection lingers until its peer closes, within both bounds.
    static constexpr int RefusedLingerMs = 5000;
    static constexpr int MaxRefusedLingering = 64;

    explicit Winsock(QObject *parent = nullptr);
    ~Winsock() override;

    void load(int index) override;
    void unload(int index) override;
    bool isLoaded(int index) const override { return element(index, AnySerial); }
    quint64 serial(int index) const override { return isLoaded(index) ? m_elements[index]->serial : 0; }

    bool listen(int index, quint16 port, QString *error) override;
    void accept(int index, qint64 requestID) override;
    void refuse(qint64 requestID, const QByteArray &utf8) override;
    void connectToHost(int index, const QString &host, quint16 port) override;
    bool isConnected(int index) const override { return connection(index) && connection(index)->isConnected(); }
    QString localIP() const override { return localAddress(); }

    using SocketArray::sendData;
    void sendData(int index, const QByteArray &utf8) override;
    QString getData(int index) override { return connection(index) ? connection(index)->takeText() : QString(); }
    void close(int index) override;

    quint16 serverPort(int index) const { return server(index) ? server(index)->serverPort() : 0; }
    qint64 bytesQueued(int index) const { return connection(index) ? connection(index)->bytesQueued() : 0; }

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
        explicit Element(quint64 s) : serial(s) {}
        const quint64 serial;
        Connection *connection = nullptr;
        QTcpServer *server = nullptr;
        QString serverError;          // it failed to accept one
        bool marked = false;          // waiting in m_ready for the pump
        bool inArrival = false;       // its DataArrival handler is running
        bool arrivalPending = false;  // data came meanwhile
    };

    // Element `index` while it is the one with this serial (any, with AnySerial), or null.
    static constexpr quint64 AnySerial = 0;
    Element *element(int index, quint64 serial) const;
    Connection *connection(int index) const { return isLoaded(index) ? m_elements[index]->connection : nullptr; }
    QTcpServer *server(int index) const { return isLoaded(index) ? m_elements[index]->server : nullptr; }
    Element *release(int index);
    void attach(int index, Element *e, Connection *connection);
    void retire(QObject *object);
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
    QTimer m_pumpTimer; // runs the pump once for all marks made until it runs
    int m_depth = 0; // pumps running: sends are gathered, nothing retired is destroyed
    QList<QObject *> m_retired;
    QTimer m_reapTimer; // destroys what was retired, once no event of ours is being raised
    QList<int> m_dirty; // elements with gathered sends, in the order they began
    quint64 m_nextSerial = 0;
    qint64 m_nextRequest = 0;
};
