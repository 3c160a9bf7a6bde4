// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The array of TCP socket elements of the chat window, indexed by slot number: element 0
// is the hub's listening socket or a client's connection to the hub, elements 1 and up the
// hub's client connections. Winsock is the real one; tests and the fuzzer have their own.
class SocketArray
{
public:
    virtual ~SocketArray() = default;

    // Load Winsock(n): create element n, closed. Unload Winsock(n): destroy it.
    virtual void load(int index) = 0;
    virtual void unload(int index) = 0;
    virtual bool isLoaded(int index) const = 0;
    // Identifies one loaded instance of an element: a slot that was unloaded and
    // loaded again gets a new serial. 0 when the element is not loaded.
    virtual quint64 serial(int index) const = 0;

    // Element listens on the port. Returns false, with a readable reason, when it cannot.
    virtual bool listen(int index, quint16 port, QString *error) = 0;
    // Element takes over a pending connection announced by ConnectionRequest.
    virtual void accept(int index, qint64 requestID) = 0;
    // Turns away a pending connection announced by ConnectionRequest: the text (UTF-8) is
    // sent, then the connection is closed.
    virtual void refuse(qint64 requestID, const QByteArray &utf8) = 0;
    // Starts an outgoing connection; the outcome comes as Connect or Error.
    virtual void connectToHost(int index, const QString &host, quint16 port) = 0;
    virtual bool isConnected(int index) const = 0;
    // This machine's own address, dotted.
    virtual QString localIP() const = 0;

    // Queues the bytes (UTF-8 text) for sending and returns at once.
    virtual void sendData(int index, const QByteArray &utf8) = 0;
    void sendData(int index, const QString &text) { sendData(index, text.toUtf8()); }
    // Moves everything received and not yet read into the result.
    virtual QString getData(int index) = 0;
    // Closes the connection or stops listening; harmless on an element already closed.
    virtual void close(int index) = 0;
};
