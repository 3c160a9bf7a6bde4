// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>

#include <utility>

class QTcpServer;

// The listening socket of an element of the socket array (element 0 on the hub), the
// sibling of Connection: owns its QTcpServer, and like a connection only notes what
// happened and emits noted(); the array raises the events.
class Listener : public QObject
{
    Q_OBJECT

public:
    explicit Listener(QObject *parent);

    // False, with the reason, when the port cannot be had.
    bool listen(quint16 port, QString *error);
    quint16 port() const;
    qintptr descriptor() const;

    // The next connection waiting to be taken, as a connected descriptor that the caller
    // now owns, or -1 when none waits.
    qintptr nextWaiting();

    bool takeWaiting() { return std::exchange(m_acceptPending, false); }
    QString takeError() { return std::exchange(m_errorPending, QString()); }

    // Stops listening; nothing noted is raised.
    void close();
    // Leaving the table (the array retires it): detached from its server, which is
    // closed. Destroyed later.
    void retire();

signals:
    void noted();

private:
    class Server;
    Server *m_server;
    bool m_acceptPending = false; // connections are waiting to be taken
    QString m_errorPending;
};
