// SPDX-License-Identifier: MIT
#pragma once

#include <QObject>
#include <QTimer>

class QTcpSocket;

// Keeps a connection's segments full while a message leaves: a receiver takes a short
// segment for the end of a message (messagejoiner.h). While more than a segment of ours
// waits, in the socket's buffer or the system's, or the peer's receive window is full,
// the connection is corked; then the short last segment leaves, whole. Only where segments
// are much shorter than our writes: not on loopback (64 KiB).
class Cork : public QObject
{
    Q_OBJECT

public:
    static constexpr int CheckMs = 1; // how often a corked connection looks again

    explicit Cork(QTcpSocket *socket);

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
