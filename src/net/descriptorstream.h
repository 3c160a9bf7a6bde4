// SPDX-License-Identifier: MIT
#pragma once

#include "stream.h"

#include <string>

// A connected TCP descriptor of the hub's, used directly (Linux): recv() and send(), with
// buffers of its own for what was received and not yet taken, and for what the system did
// not take at once. It never asks the system for readiness itself: the socket array's
// readiness set watches it, edge-triggered, and hands on what it saw with noteReady().
// Like a QTcpSocket it reads as soon as it learns that bytes wait, up to ReadAheadBytes
// ahead of the connection, and reads on once the connection has taken them; so where a
// read ends depends on when the bytes came, as with Qt's sockets, not on when the
// connection got round to them.
class DescriptorStream : public Stream
{
    Q_OBJECT

public:
    // Takes the descriptor over; it is closed with the stream.
    DescriptorStream(qintptr fd, QObject *parent);
    ~DescriptorStream() override;

    void noteReady(unsigned events) override;

    qintptr descriptor() const override { return m_fd; }
    bool isConnected() const override { return m_fd >= 0 && m_connected; }
    bool isOpen() const override { return m_open; }
    bool hasUnread() const override { return !m_received.isEmpty(); }
    QByteArray read(qint64 maxSize) override;
    qint64 bytesToWrite() const override { return qint64(m_unsent.size() - m_sentFrom); }
    void write(const char *data, qint64 size) override;
    QAbstractSocket::SocketError error() const override { return m_error; }
    QString errorString() const override { return m_errorString; }
    void setOptions(int sendBufferBytes) override;
    void close() override;
    void abort() override;

private:
    void readAhead();
    void writeUnsent();
    void fail(int errorNumber);
    void lost();
    void release();

    int m_fd;
    bool m_open = true;       // until closed or aborted by us
    bool m_connected = true;
    bool m_systemHolds = false; // the last read stopped at ReadAheadBytes: more may wait
    bool m_hangup = false;    // the peer's close or a failure was seen: read on to it
    bool m_closing = false;   // closed by us while bytes still wait to be written
    QByteArray m_received;    // read, not yet taken
    std::string m_unsent;    // taken from write(), not yet passed to the system
    size_t m_sentFrom = 0;   // how much of m_unsent has been passed on
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
};
