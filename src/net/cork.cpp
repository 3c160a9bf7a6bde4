// SPDX-License-Identifier: MIT
#include "cork.h"

#include "connection.h"
#include "tcpcalls.h"

#include <QTcpSocket>

#include <algorithm>

Cork::Cork(QTcpSocket *socket)
    : m_socket(socket)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &Cork::update);
    connect(socket, &QTcpSocket::bytesWritten, this, &Cork::update);
}

bool Cork::matters() const
{
    return m_fullSegment > 0 && m_fullSegment < Connection::OutboxFlushBytes;
}

void Cork::beforeWrite(qint64 size)
{
    if (matters() && !m_corked && size > m_fullSegment)
        m_corked = tcp::setCorked(m_socket->socketDescriptor(), true);
}

void Cork::update()
{
    if (!matters() && !m_corked)
        return;
    const qintptr fd = m_socket->socketDescriptor();
    const qint64 unsent = tcp::unsentBytes(fd);
    const bool more = m_socket->bytesToWrite() > 0 || unsent >= std::max(1, m_fullSegment)
                      || (unsent > 0 && !tcp::windowTakes(fd, unsent));
    if (more != m_corked)
        m_corked = tcp::setCorked(fd, more) && more;
    // What waits in the socket's buffer brings bytesWritten; only what waits in the system
    // needs a look from time to time.
    if (m_corked && m_socket->bytesToWrite() == 0)
        m_timer.start(CheckMs);
}

void Cork::stop()
{
    m_timer.stop();
    m_socket->disconnect(this);
}
