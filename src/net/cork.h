// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>

class QTcpSocket;

// Keeps a connection's segments full while a message leaves. A receiver takes a short
// segment as the end of what was sent (see messagejoiner.h), and the system sends one in
// the middle of a message when it holds the message's first part while the rest still
// waits in the socket's buffer, and where the peer's receive window ends. So while more
// than a segment of ours waits to be sent, the connection is corked, and the system sends
// full segments only; once less is left and the peer's window takes it, it is uncorked,
// and the short last segment leaves at once, whole.
//
// Only on a network whose segments are much shorter than what we write at once; not on
// loopback, where a segment holds 64 KiB and every write leaves whole.
class Cork : public QObject
{
    Q_OBJECT

public:
    // How often a corked connection looks whether its last, short segment may leave.
    static constexpr int CheckMs = 1;

    Cork(QTcpSocket *socket, QObject *parent);

    void setFullSegment(int bytes) { m_fullSegment = bytes; }
    // Before a write of `size` bytes: one longer than a segment is corked first.
    void beforeWrite(qint64 size);
    // After a write, and whenever the socket has passed more to the system.
    void update();
    void stop();

private:
    bool matters() const;

    QTcpSocket *m_socket;
    int m_fullSegment = 0;
    bool m_corked = false;
    QTimer m_timer; // looks again while corked
};
