// SPDX-License-Identifier: MIT
#pragma once

#include "cork.h"
#include "messagejoiner.h"

#include <QObject>
#include <QStringDecoder>
#include <QTcpSocket>

#include <string>
#include <utility>

// One connection of the socket array (winsock.h): owns its QTcpSocket and what is kept per
// socket: the decoded text received, what is gathered to be sent, and what happened that
// the array has yet to raise. It raises nothing itself: the socket's signals only note
// here and emit noted(); the array's pump raises the events, asking with the take calls.
class Connection : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 MaxQueuedBytes = 256 * 1024; // unsent for one peer; past it, dropped
    static constexpr qint64 ReadBoundBytes = 64 * 1024;  // one read; the socket reads no further ahead
    static constexpr qint64 OutboxFlushBytes = 16 * 1024; // gathered sends are written at this size

    Connection(QTcpSocket *socket, QObject *parent); // takes the socket over

    qintptr descriptor() const { return m_socket->socketDescriptor(); }
    bool isConnected() const { return m_socket->state() == QAbstractSocket::ConnectedState; }
    void setOptions(); // once connected
    // For a connection that waited to be taken: notes a peer that has already left; true when
    // there is anything to raise (that, or text sent right after connecting).
    bool noteWhatWaits() { return (m_closePending = !isConnected()) || hasMoreToRaise(); }

    // Writes at once, or with `gather` into the outbox (written by flush(), or once
    // OutboxFlushBytes have gathered). Past MaxQueuedBytes the peer is dropped instead.
    // True when these are the first bytes gathered since the outbox was last written.
    bool send(const QByteArray &utf8, bool gather);
    void flush();
    qint64 bytesQueued() const { return m_socket->bytesToWrite() + qint64(m_outbox.size()); }

    bool readSome(); // one bounded read; true when text is ready
    qsizetype receivedSize() const { return m_received.size(); }
    // Everything received and not yet taken, after one more read.
    QString takeText() { readSome(); return std::exchange(m_received, QString()); }

    // What was noted and not yet raised; each take forgets what it returns.
    bool takeConnected() { return std::exchange(m_connectPending, false); }
    QString takeError() { return std::exchange(m_errorPending, QString()); }
    bool takeClosed() { return std::exchange(m_closePending, false); }
    // Whether there is more to raise after text was: unread bytes, a failure, the close.
    bool hasMoreToRaise() const { return m_socket->bytesAvailable() > 0 || m_closePending || !m_errorPending.isEmpty(); }

    void close();  // by us: what was sent is written first; nothing noted is raised any more
    void retire(); // leaving the table: detached from its socket, which is aborted

signals:
    void noted();

private:
    void onError();
    void drop();
    void writeNow(const char *data, qint64 size);
    void decode(const QByteArray &bytes);

    QTcpSocket *m_socket;
    QStringDecoder m_decoder{QStringDecoder::Utf8};
    QString m_received; // decoded, ready to be taken
    MessageJoiner m_joiner;
    Cork m_cork;
    // A plain buffer: a relay adds every line to every peer's outbox, and QByteArray's
    // append costs several times the copy.
    std::string m_outbox;
    bool m_connectPending = false; // our outgoing connection was made
    bool m_closePending = false;   // the peer closed (raised after the last text)
    QString m_errorPending;        // a failure to raise (after the last text)
    bool m_closedByUs = false;
};
