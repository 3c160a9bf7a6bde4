// SPDX-License-Identifier: MIT
#include "listener.h"

#include "fastpath.h"

#include <QList>
#include <QTcpServer>

// Keeps each connection it accepts as a plain descriptor, untouched: a QTcpSocket made
// for it would start reading at once, and a connection is read by its own stream once
// it is taken (see stream.h).
class Listener::Server : public QTcpServer
{
public:
    using QTcpServer::QTcpServer;
    ~Server() override { closeWaiting(); }

    void closeWaiting()
    {
        for (const qintptr fd : std::exchange(waiting, {}))
            fastpath::closeDescriptor(fd);
    }

    QList<qintptr> waiting;

protected:
    void incomingConnection(qintptr fd) override { waiting.append(fd); }
};

Listener::Listener(QObject *parent)
    : QObject(parent)
    , m_server(new Server(this))
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

qintptr Listener::nextWaiting()
{
    return m_server->waiting.isEmpty() ? -1 : m_server->waiting.takeFirst();
}

void Listener::close()
{
    m_acceptPending = false;
    m_errorPending.clear();
    m_server->close();
    m_server->closeWaiting();
}

void Listener::retire()
{
    m_server->disconnect(this);
    m_server->close();
    m_server->closeWaiting();
}
