// SPDX-License-Identifier: MIT
#include "stream.h"

#include <QTcpSocket>

#include <algorithm>

QtStream::QtStream(QTcpSocket *socket, QObject *parent)
    : Stream(parent)
    , m_socket(socket)
{
    socket->setParent(this);
    socket->setReadBufferSize(ReadAheadBytes);
    connect(socket, &QTcpSocket::readyRead, this, &Stream::readyRead);
    connect(socket, &QTcpSocket::connected, this, &Stream::connected);
    connect(socket, &QTcpSocket::disconnected, this, &Stream::disconnected);
    connect(socket, &QTcpSocket::errorOccurred, this, &Stream::errorOccurred);
    connect(socket, &QTcpSocket::bytesWritten, this, &Stream::bytesWritten);
}

qintptr QtStream::descriptor() const
{
    return m_socket->socketDescriptor();
}

bool QtStream::isConnected() const
{
    return m_socket->state() == QAbstractSocket::ConnectedState;
}

bool QtStream::isOpen() const
{
    return m_socket->isOpen();
}

bool QtStream::hasUnread() const
{
    return m_socket->bytesAvailable() > 0;
}

// Asking for exactly what the socket's buffer holds hands its block over without a copy;
// asking for more would make a new buffer of maxSize.
QByteArray QtStream::read(qint64 maxSize)
{
    const qint64 buffered = m_socket->bytesAvailable();
    return buffered > 0 ? m_socket->read(std::min(buffered, maxSize)) : QByteArray();
}

qint64 QtStream::bytesToWrite() const
{
    return m_socket->bytesToWrite();
}

void QtStream::write(const char *data, qint64 size)
{
    m_socket->write(data, size);
    m_socket->flush();
}

QAbstractSocket::SocketError QtStream::error() const
{
    return m_socket->error();
}

QString QtStream::errorString() const
{
    return m_socket->errorString();
}

void QtStream::setOptions(int sendBufferBytes)
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, sendBufferBytes);
}

void QtStream::close()
{
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->close();
}

void QtStream::abort()
{
    m_socket->abort();
}
