// SPDX-License-Identifier: MIT
#include "descriptorstream.h"

#include "fastpath.h"

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
    if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR))
        m_hangup = true;
    if (events & EPOLLOUT && bytesToWrite() > 0)
        writeUnsent();
    if (m_fd >= 0 && !m_closing && events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
        m_readable = true;
        emit readyRead();
    }
}

// One recv(). A short read has emptied what the system held, unless the peer's close or a
// failure was seen: that is only learnt by reading on to the end.
QByteArray DescriptorStream::read(qint64 maxSize)
{
    if (m_fd < 0 || !m_readable || maxSize <= 0)
        return {};
    QByteArray bytes(maxSize, Qt::Uninitialized);
    ssize_t n;
    do
        n = ::recv(m_fd, bytes.data(), size_t(maxSize), MSG_DONTWAIT);
    while (n < 0 && errno == EINTR);
    if (n > 0) {
        if (n < maxSize && !m_hangup)
            m_readable = false;
        bytes.truncate(n);
        return bytes;
    }
    m_readable = false;
    if (n == 0)
        lost();
    else if (errno != EAGAIN && errno != EWOULDBLOCK)
        fail(errno);
    return {};
}

void DescriptorStream::write(const char *data, qint64 size)
{
    if (m_fd < 0 || m_closing || size <= 0)
        return;
    if (bytesToWrite() == 0) {
        m_unsent.clear();
        m_sentFrom = 0;
    }
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
    if (m_fd < 0)
        return;
    m_connected = false;
    m_closing = true;
    if (bytesToWrite() == 0)
        release();
}

void DescriptorStream::abort()
{
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
    m_readable = false;
}
