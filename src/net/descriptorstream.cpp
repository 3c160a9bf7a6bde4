// SPDX-License-Identifier: MIT
#include "descriptorstream.h"

#include <cerrno>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

DescriptorStream::DescriptorStream(qintptr fd, QObject *parent)
    : Stream(parent)
    , m_fd(int(fd))
{
    if (m_fd >= 0)
        ::fcntl(m_fd, F_SETFL, ::fcntl(m_fd, F_GETFL) | O_NONBLOCK);
}

DescriptorStream::~DescriptorStream()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void DescriptorStream::noteReady(unsigned events)
{
    if (m_fd < 0)
        return;
    // Seen once: the bytes before it may need more than one read.
    if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        m_hangup = true;
    if (events & EPOLLOUT && bytesToWrite() > 0)
        writeUnsent();
    if (!m_closing && events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        readAhead();
}

// One recv() of what the system holds, as far as the read-ahead has room. The peer's
// close and failures are learnt here, after the bytes that came before them.
void DescriptorStream::readAhead()
{
    const qint64 room = ReadAheadBytes - m_received.size();
    m_systemHolds = room <= 0;
    if (m_fd < 0 || room <= 0)
        return;
    static char scratch[ReadAheadBytes];
    ssize_t n;
    do
        n = ::recv(m_fd, scratch, size_t(room), MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        m_received.append(scratch, n);
        m_systemHolds = n == room;
        emit readyRead();
        if (m_hangup && !m_systemHolds)
            readAhead(); // on to the close or the failure
    } else if (n == 0) {
        lost();
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
        fail(errno);
    }
}

// What was read ahead; when that was all of it, reading goes on where it stopped.
QByteArray DescriptorStream::read(qint64 maxSize)
{
    if (m_received.isEmpty() || maxSize <= 0)
        return {};
    QByteArray bytes;
    if (maxSize >= m_received.size()) {
        bytes = std::exchange(m_received, {});
        if (m_systemHolds)
            readAhead();
    } else {
        bytes = m_received.first(maxSize);
        m_received.remove(0, maxSize);
    }
    return bytes;
}

void DescriptorStream::write(const char *data, qint64 size)
{
    if (m_fd < 0 || m_closing || size <= 0)
        return;
    m_unsent.append(data, size_t(size));
    writeUnsent();
}

// Passes on what the system takes now; the rest waits for room (EPOLLOUT).
void DescriptorStream::writeUnsent()
{
    bool moved = false;
    while (m_fd >= 0 && m_sentFrom < m_unsent.size()) {
        const ssize_t n = ::send(m_fd, m_unsent.data() + m_sentFrom, m_unsent.size() - m_sentFrom,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fail(errno);
            break;
        }
        m_sentFrom += size_t(n);
        moved = true;
    }
    if (m_fd >= 0 && m_sentFrom == m_unsent.size()) {
        m_unsent.clear();
        m_sentFrom = 0;
        if (m_closing) {
            release();
            return;
        }
    }
    if (moved && m_fd >= 0)
        emit bytesWritten();
}

// As a QTcpSocket reports them: the peer's reset or broken pipe is its close; a timeout
// is reported while still connected, then the connection is lost; anything else is a
// failure with the system's reason, then the loss.
void DescriptorStream::fail(int errorNumber)
{
    if (errorNumber == ECONNRESET || errorNumber == EPIPE) {
        m_error = QAbstractSocket::RemoteHostClosedError;
        m_errorString = QStringLiteral("The remote host closed the connection");
    } else {
        m_error = errorNumber == ETIMEDOUT ? QAbstractSocket::SocketTimeoutError : QAbstractSocket::NetworkError;
        m_errorString = qt_error_string(errorNumber);
    }
    emit errorOccurred();
    lost();
}

// The connection is over: the descriptor is closed and, once, disconnected() says so.
// What was read before stays to be taken.
void DescriptorStream::lost()
{
    if (m_fd < 0)
        return;
    m_connected = false;
    release();
    emit disconnected();
}

void DescriptorStream::setOptions(int sendBufferBytes)
{
    const int on = 1;
    ::setsockopt(m_fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(m_fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDBUF, &sendBufferBytes, sizeof sendBufferBytes);
}

// What was written still leaves; then the connection ends with an orderly close.
void DescriptorStream::close()
{
    m_open = false;
    m_received.clear();
    if (m_fd < 0)
        return;
    m_connected = false;
    m_closing = true;
    if (bytesToWrite() == 0)
        release();
}

void DescriptorStream::abort()
{
    m_open = false;
    m_received.clear();
    m_unsent.clear();
    m_sentFrom = 0;
    m_closing = false;
    release();
}

// Closing with received bytes unread would reset the connection, which can cost the peer
// what we sent last: for an orderly close they are read and dropped first.
void DescriptorStream::release()
{
    if (m_fd < 0)
        return;
    if (m_closing) {
        char scratch[4096];
        for (int i = 0; i < 64 && ::recv(m_fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0; ++i) {
        }
    }
    ::close(m_fd);
    m_fd = -1;
}
