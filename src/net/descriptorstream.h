// SPDX-License-Identifier: MIT
#pragma once

#include "stream.h"

#include <string>

// A connected TCP descriptor of the hub's, used directly (Linux): one recv() per read,
// send() for writes, and a buffer of its own for what the system does not take at once.
// It never asks the system for readiness itself: the socket array's readiness set watches
// it, edge-triggered, and hands on what it saw with noteReady(). Every edge is a change
// (new bytes, room to write, the peer's close or a failure), so what is seen once is kept
// here until it has been acted on: unread bytes until a read comes back short, the close
// until it has been read.
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
    bool isOpen() const override { return m_fd >= 0; }
    bool hasUnread() const override { return m_readable; }
    QByteArray read(qint64 maxSize) override;
    qint64 bytesToWrite() const override { return qint64(m_unsent.size() - m_sentFrom); }
    void write(const char *data, qint64 size) override;
    QAbstractSocket::SocketError error() const override { return m_error; }
    QString errorString() const override { return m_errorString; }
    void setOptions(int sendBufferBytes) override;
    void close() override;
    void abort() override;

private:
    void writeUnsent();
    void fail(int errorNumber);
    void lost();
    void release();

    int m_fd;
    bool m_connected = true;
    bool m_readable = false; // bytes may wait: seen and not yet read to the end
    bool m_hangup = false;   // the peer closed or the connection failed: read to the end
    bool m_closing = false;  // closed by us while bytes still wait to be written
    std::string m_unsent;    // taken from write(), not yet passed to the system
    size_t m_sentFrom = 0;   // how much of m_unsent has been passed on
    QAbstractSocket::SocketError m_error = QAbstractSocket::UnknownSocketError;
    QString m_errorString;
};
