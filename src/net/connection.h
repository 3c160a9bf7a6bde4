// SPDX-License-Identifier: MIT
#pragma once

#include "cork.h"
#include "messagejoiner.h"

#include <QObject>
#include <QStringDecoder>

#include <string>
#include <utility>

class QTcpSocket;

// One connection of the socket array (winsock.h): owns its QTcpSocket and what is kept per
// socket: the decoded text received, what is gathered to be sent, and what happened that
// the array has yet to raise. It raises nothing itself: the socket's signals only note
// here and emit noted(); the array's pump raises the events, asking with the take calls.
class Connection : public QObject
{
    Q_OBJECT

public:
    // What may wait unsent for one peer; past it the peer is dropped.
    static constexpr qint64 MaxQueuedBytes = 256 * 1024;
    // One read takes at most this much, and the socket reads no further ahead.
    static constexpr qint64 ReadBoundBytes = 64 * 1024;
    // What is gathered inside an event is written when the event ends, or at this size.
    static constexpr qint64 OutboxFlushBytes = 16 * 1024;

    // Takes the socket over, connected or about to connect.
    Connection(QTcpSocket *socket, QObject *parent);

    qintptr descriptor() const;
    bool isConnected() const;
    // Low delay, keep-alive and room for all that may wait, once connected.
    void setOptions();
    // For a connection that waited to be taken: notes a peer that has already left, and
    // tells whether there is anything to raise (that, or text sent right after connecting).
    bool noteWhatWaits();

    // Writes at once, or with `gather` into the outbox (written by flush(), or once
    // OutboxFlushBytes have gathered). Past MaxQueuedBytes the peer is dropped instead.
    // True when these are the first bytes gathered since the outbox was last written.
    bool send(const QByteArray &utf8, bool gather);
    void flush();
    qint64 bytesQueued() const;

    // One bounded read through the joiner and the decoder. True when text is ready.
    bool readSome();
    qsizetype receivedSize() const { return m_received.size(); }
    // Everything received and not yet taken, after one more read.
    QString takeText();

    // What was noted and not yet raised; each take forgets what it returns.
    bool takeConnected() { return std::exchange(m_connectPending, false); }
    QString takeError() { return std::exchange(m_errorPending, QString()); }
    bool takeClosed() { return std::exchange(m_closePending, false); }
    // Whether there is more to raise after text was: unread bytes, a failure, the close.
    bool hasMoreToRaise() const;

    // Closed by us: what was sent is written first; nothing noted is raised any more.
    void close();
    // Leaving the table: detached from its socket, which is aborted. Destroyed later.
    void retire();

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
    qint64 m_mostBuffered = 0; // the socket's buffer holds at most this much
    bool m_connectPending = false; // our outgoing connection was made
    bool m_closePending = false;   // the peer closed (raised after the last text)
    QString m_errorPending;        // a failure to raise (after the last text)
    bool m_closedByUs = false;
};
