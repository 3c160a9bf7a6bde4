// SPDX-License-Identifier: MIT
#pragma once

#include "messagejoiner.h"
#include "stream.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringDecoder>
#include <QTimer>

#include <string>
#include <utility>

// One connection of the socket array (see winsock.h): owns its stream and everything
// kept per socket: the decoded text received, what is gathered to be sent, and what
// happened to the socket that the array has yet to raise as events.
//
// It raises no events itself. The stream's signals only note what happened here and emit
// noted(), on which the array marks the element; the array's pump raises the events
// later, asking what was noted with the take...() calls.
class Connection : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 MaxQueuedBytes = 256 * 1024;
    static constexpr qint64 ReadBufferBytes = Stream::ReadAheadBytes;
    static constexpr qint64 OutboxFlushBytes = 16 * 1024;

    // Takes the stream over: it becomes our child, and its signals are noted here.
    Connection(Stream *stream, QObject *parent);

    Stream *stream() const { return m_stream; }
    qintptr descriptor() const;
    bool isConnected() const;

    // Low delay and keep-alive, for a connection made or taken.
    void setOptions();
    // For a connection that waited to be taken: notes a peer that has already left, and
    // tells whether there is anything to raise (that, or text sent right after connecting).
    bool noteWhatWaits();

    // What send() did with the bytes.
    enum class Sent {
        Written,      // to the connection, or to the socket's buffer behind what waits
        OutboxBegun,  // the first bytes gathered since the outbox was last written
        OutboxJoined, // gathered behind others
        NotConnected, // nothing sent: the peer has gone or was never there
        Dropped,      // past MaxQueuedBytes waiting: the peer is dropped, its close noted
    };
    // Sends at once, or with `gather` into the outbox, which is written when the array
    // calls flush() or once OutboxFlushBytes have gathered.
    Sent send(const QByteArray &utf8, bool gather);
    void flush();
    qint64 bytesQueued() const;

    // A message the last read may have ended inside of is held back (see messagejoiner.h)
    // until the rest arrives, or until the peer has been quiet for twice the connection's
    // retransmission timeout (at least HoldQuietMinMs, at most HoldQuietMaxMs;
    // HoldQuietUnknownMs where the system cannot tell), and never longer than HoldMaxMs
    // in all; then what is held is delivered as it is. The wait outlasts a lost segment
    // sent again (the system waits at least 200 ms before it does) and a busy link's
    // queue: what is held is the start of a message known to go on, and a write that
    // happens to end exactly on a full segment, the only case where the wait is in vain,
    // is rare (about one long line in a hundred; short lines are never held).
    // While the path loses segments (we sent some again, or the peer's came out of order,
    // within LossyForMs), a segment sent again may be lost again, and the sender waits
    // twice as long before each further try (about 0.2, 0.6, 1.4 s after the first
    // send): then what is held waits the full HoldMaxMs for the rest.
    static constexpr int HoldQuietMinMs = 400;
    static constexpr int HoldQuietMaxMs = 1200;
    static constexpr int HoldQuietUnknownMs = 600;
    static constexpr int HoldMaxMs = 3000;
    // How often a corked connection looks whether it may send its last, short segment.
    static constexpr int CorkCheckMs = 1;
    // How long after we last sent a segment again the peer's segments may come shorter.
    static constexpr int ShortenedForMs = 5000;
    // How long after the last sign of lost segments the path counts as losing them.
    static constexpr int LossyForMs = 5000;

    // One bounded read through the decoder. True when received text is ready.
    bool readSome();
    qsizetype receivedSize() const { return m_received.size(); }
    // Everything received and not yet taken, after one more read.
    QString takeText();

    // What was noted and not yet raised. Each take...() forgets what it returns.
    bool takeConnected() { return std::exchange(m_connectPending, false); }
    QString takeError() { return std::exchange(m_errorPending, QString()); }
    bool takeClosed() { return std::exchange(m_closePending, false); }
    // Whether there is more to raise after text was: unread bytes, a failure, the close.
    bool hasMoreToRaise() const;
    // What the array's readiness set saw for the connection (see Stream::noteReady()).
    void noteReady(unsigned events) { m_stream->noteReady(events); }

    // Closed by us: nothing noted is raised, nor anything that follows.
    void close();
    // Leaving the table (the array retires it): detached from its socket, which is
    // aborted. Destroyed later.
    void retire();

signals:
    void noted();

private:
    void onError();
    void drop();
    void writeNow(const char *data, qint64 size);
    void keepSegmentsFull();
    bool segmentsMatter() const;
    void receive(const QByteArray &bytes);
    void decode(const QByteArray &bytes);
    void holdBack(int retransmitMicros, bool delivered);
    void releaseHeld();

    Stream *m_stream;
    QStringDecoder m_decoder{QStringDecoder::Utf8};
    QString m_received;            // decoded, ready to be taken
    MessageJoiner m_joiner;        // read, held back until the message is whole
    QTimer m_holdTimer;            // releases what is held once the peer is quiet
    QElapsedTimer m_heldSince;
    qsizetype m_fullSegment = 0;   // as last asked; 0 until then
    quint32 m_resent = 0;          // segments sent again, as last seen
    QElapsedTimer m_lastResent;    // since that count last grew
    quint32 m_outOfOrder = 0;      // segments received out of order, as last seen
    QElapsedTimer m_lastLoss;      // since either count last grew
    // Gathered while an event was raised, not yet written. A plain buffer: a relay adds
    // every line to every peer's outbox, and QByteArray's append costs several times the copy.
    std::string m_outbox;
    qint64 m_mostBuffered = 0;     // the stream's buffer holds at most this much (it only shrinks by itself)
    bool m_connectPending = false; // our outgoing connection was made
    bool m_closePending = false;   // the peer closed (raised after the last text)
    QString m_errorPending;        // a failure to raise (after the last text)
    bool m_closedByUs = false;
    bool m_corked = false;         // while more than a segment waits to be sent
    QTimer m_corkTimer;            // looks again while corked
};
