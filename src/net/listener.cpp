// SPDX-License-Identifier: MIT
#include "listener.h"

#include <QTcpServer>
#include <QTcpSocket>

Listener::Listener(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    // These run inside the server's own calls: they only note, and the array only marks.
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        m_acceptPending = true;
        emit noted();
    });
    connect(m_server, &QTcpServer::acceptError, this, [this] {
        m_errorPending = m_server->errorString();
        emit noted();
    });
}

bool Listener::listen(quint16 port, QString *error)
{
    if (m_server->listen(QHostAddress::Any, port))
        return true;
    if (error)
        *error = m_server->errorString();
    return false;
}

quint16 Listener::port() const
{
    return m_server->serverPort();
}

qintptr Listener::descriptor() const
{
    return m_server->socketDescriptor();
}

QTcpSocket *Listener::nextWaiting()
{
    if (!m_server->hasPendingConnections())
        return nullptr;
    QTcpSocket *socket = m_server->nextPendingConnection();
    socket->setParent(nullptr);
    return socket;
}

void Listener::close()
{
    m_acceptPending = false;
    m_errorPending.clear();
    m_server->close();
}

void Listener::retire()
{
    m_server->disconnect(this);
    m_server->close();
}
