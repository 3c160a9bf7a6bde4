// SPDX-License-Identifier: MIT
#pragma once

#include <QAbstractSocket>
#include <QByteArray>
#include <QObject>
#include <QString>

class QTcpSocket;

// What a Connection reads from and writes to. Two kinds: QtStream, a QTcpSocket (the
// client's connection, and every connection on the portable fallback), and on Linux the
// hub's connections as plain descriptors (descriptorstream.h), which the socket array's
// readiness set watches all at once: the event loop then looks at one descriptor for all
// of them, and a line costs one read.
//
// The calls and signals are those of QTcpSocket that a connection uses, with the same
// meaning; a stream only notes and emits, as the socket did.
class Stream : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // A QTcpSocket reads at most this much ahead of the connection.
    static constexpr qint64 ReadAheadBytes = 64 * 1024;

    // What the array's readiness set saw for the stream, if it watches it (epoll's bits).
    virtual void noteReady(unsigned events) { Q_UNUSED(events); }

    virtual qintptr descriptor() const = 0;
    virtual bool isConnected() const = 0;
    // False once aborted or closed by us.
    virtual bool isOpen() const = 0;
    // Whether received bytes may be waiting to be read.
    virtual bool hasUnread() const = 0;
    // At most maxSize bytes of what was received; empty when nothing waits.
    virtual QByteArray read(qint64 maxSize) = 0;
    // Bytes taken by the stream and not yet passed to the system.
    virtual qint64 bytesToWrite() const = 0;
    // Takes all the bytes: what the system does not take at once is kept and written
    // when the connection can take more.
    virtual void write(const char *data, qint64 size) = 0;
    virtual QAbstractSocket::SocketError error() const = 0;
    virtual QString errorString() const = 0;
    // Low delay, keep-alive, and a send buffer of this many bytes.
    virtual void setOptions(int sendBufferBytes) = 0;
    // Ends the connection once what was written has left; nothing more is emitted.
    virtual void close() = 0;
    // Ends the connection at once, dropping what waits to be written.
    virtual void abort() = 0;

signals:
    void readyRead();
    void connected();
    void disconnected();
    void errorOccurred();
    void bytesWritten();
};

// A stream over a QTcpSocket, which it owns.
class QtStream : public Stream
{
    Q_OBJECT

public:
    QtStream(QTcpSocket *socket, QObject *parent);

    QTcpSocket *socket() const { return m_socket; }

    qintptr descriptor() const override;
    bool isConnected() const override;
    bool isOpen() const override;
    bool hasUnread() const override;
    QByteArray read(qint64 maxSize) override;
    qint64 bytesToWrite() const override;
    void write(const char *data, qint64 size) override;
    QAbstractSocket::SocketError error() const override;
    QString errorString() const override;
    void setOptions(int sendBufferBytes) override;
    void close() override;
    void abort() override;

private:
    QTcpSocket *m_socket;
};
