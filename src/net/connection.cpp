// SPDX-License-Identifier: MIT
#include "connection.h"

#include "fastpath.h"

#include <algorithm>

Connection::Connection(Stream *stream, QObject *parent)
    : QObject(parent)
    , m_stream(stream)
{
    stream->setParent(this);
    // These run inside the stream's own calls: they only note, and the array only marks.
    connect(stream, &Stream::readyRead, this, &Connection::noted);
    connect(stream, &Stream::connected, this, [this] {
        m_connectPending = true;
        emit noted();
    });
    connect(stream, &Stream::disconnected, this, [this] {
        if (!m_closedByUs) {
            m_closePending = true;
            emit noted();
        }
    });
    connect(stream, &Stream::errorOccurred, this, &Connection::onError);
    connect(stream, &Stream::bytesWritten, this, &Connection::keepSegmentsFull);
    m_corkTimer.setSingleShot(true);
    connect(&m_corkTimer, &QTimer::timeout, this, &Connection::keepSegmentsFull);
    m_holdTimer.setSingleShot(true);
    connect(&m_holdTimer, &QTimer::timeout, this, &Connection::releaseHeld);
}

qintptr Connection::descriptor() const
{
    return m_stream->descriptor();
}

bool Connection::isConnected() const
{
    return m_stream->isConnected();
}

void Connection::setOptions()
{
    // Lines are short and already gathered per peer before writing: no need to wait (low
    // delay). Keep-alive, so that a peer that vanished without closing is found. And room
    // for all that may wait for the peer, so that the system takes every message whole:
    // one it took only in part may leave without its rest (see writeNow()).
    m_stream->setOptions(int(MaxQueuedBytes));
    fastpath::setKeepAliveTiming(descriptor());
    m_fullSegment = fastpath::pathInfo(descriptor()).fullSegment;
}

bool Connection::noteWhatWaits()
{
    m_closePending = !isConnected();
    return m_stream->hasUnread() || m_closePending;
}

void Connection::onError()
{
    if (m_closedByUs)
        return;
    const auto err = m_stream->error();
    // The peer's orderly close or reset comes as the disconnected signal, i.e. Close.
    if (err == QAbstractSocket::RemoteHostClosedError)
        return;
    // A connection that times out has lost its peer without a word (a pulled cable, a
    // machine switched off; see fastpath::setKeepAliveTiming): Qt reports it while still
    // connected, then disconnects, so it is raised as the peer's Close.
    if (isConnected() && err == QAbstractSocket::SocketTimeoutError)
        return;
    m_errorPending = m_stream->errorString();
    emit noted();
}

// A relay sends to every peer for every line, so the common case asks the stream nothing:
// what joins a non-empty outbox was checked with the outbox's first part (flush() looks at
// the connection again before writing), and the stream's buffer is asked for its size only
// when the most it can hold would pass the bound.
Connection::Sent Connection::send(const QByteArray &utf8, bool gather)
{
    const bool first = m_outbox.empty();
    if (first && !isConnected())
        return Sent::NotConnected;
    const qint64 waiting = qint64(m_outbox.size()) + utf8.size();
    if (m_mostBuffered + waiting > MaxQueuedBytes) {
        m_mostBuffered = m_stream->bytesToWrite();
        if (m_mostBuffered + waiting > MaxQueuedBytes) {
            drop();
            return Sent::Dropped;
        }
    }
    if (!gather) {
        writeNow(utf8.constData(), utf8.size());
        return Sent::Written;
    }
    m_outbox.append(utf8.constData(), size_t(utf8.size()));
    if (qint64(m_outbox.size()) >= OutboxFlushBytes)
        flush();
    return first ? Sent::OutboxBegun : Sent::OutboxJoined;
}

// The peer does not read what we send: dropped rather than queued without end. It is
// raised as the peer's close once the running handler has yielded.
void Connection::drop()
{
    m_outbox.clear();
    m_closedByUs = true;
    m_stream->abort();
    m_closePending = true;
    emit noted();
}

void Connection::flush()
{
    if (m_outbox.empty())
        return;
    // A peer that left meanwhile gets nothing.
    if (isConnected())
        writeNow(m_outbox.data(), qint64(m_outbox.size()));
    // The outbox keeps its storage (at most OutboxFlushBytes and a line) for the next
    // event, rather than growing it afresh for every event of a busy chat.
    if (qint64(m_outbox.capacity()) <= OutboxFlushBytes * 2)
        m_outbox.clear();
    else
        std::string().swap(m_outbox);
}

// Writes straight to the connection when nothing of ours is still waiting in the stream's
// own buffer; what the connection does not take at once, and anything after it, goes
// through the stream's buffer, which writes it when the peer reads.
void Connection::writeNow(const char *data, qint64 size)
{
    qint64 done = 0;
    const qintptr fd = descriptor();
    // Longer than a segment: corked before the system may send any of it.
    if (segmentsMatter() && !m_corked && size > m_fullSegment)
        m_corked = fastpath::setCorked(fd, true);
    if (fd >= 0 && m_stream->bytesToWrite() == 0) {
        done = fastpath::sendDirect(fd, data, size);
        if (done == size) {
            if (m_corked)
                keepSegmentsFull();
            return;
        }
    }
    m_stream->write(data + done, size - done);
    m_mostBuffered = m_stream->bytesToWrite();
    keepSegmentsFull();
}

// On a network whose segments are much shorter than what we write at once; not on
// loopback, where a segment holds 64 KiB and every write leaves whole.
bool Connection::segmentsMatter() const
{
    return m_fullSegment > 0 && m_fullSegment < OutboxFlushBytes;
}

// The peer takes a short segment as the end of what was sent (see messagejoiner.h). The
// system sends one in the middle of a message when it holds the message's first part
// while the rest still waits in the stream's buffer, and where the peer's receive window
// ends. So while more than a segment of ours waits to be sent, the connection is corked:
// the system then sends full segments only. Once less is left and the peer's window takes
// it, it is uncorked, and the short last segment leaves at once, whole.
void Connection::keepSegmentsFull()
{
    if (!segmentsMatter() && !m_corked)
        return;
    const qintptr fd = descriptor();
    const qint64 unsent = fastpath::unsentBytes(fd);
    const bool more = m_stream->bytesToWrite() > 0 || unsent >= std::max<qsizetype>(1, m_fullSegment)
                      || (unsent > 0 && !fastpath::windowTakes(fd, unsent));
    if (more != m_corked)
        m_corked = fastpath::setCorked(fd, more) ? more : false;
    // What waits in the stream's buffer brings bytesWritten; only what waits in the
    // system needs a look from time to time.
    if (m_corked && m_stream->bytesToWrite() == 0)
        m_corkTimer.start(CorkCheckMs);
}

qint64 Connection::bytesQueued() const
{
    return m_stream->bytesToWrite() + qint64(m_outbox.size());
}

// Reads what the stream holds, at most one read buffer's worth. Once the peer has closed
// or failed, nothing more will come: what is held is delivered too.
bool Connection::readSome()
{
    if (!m_stream->isOpen()) // dropped by us (see drop()): nothing more to read
        return !m_received.isEmpty();
    if (const QByteArray bytes = m_stream->read(ReadBufferBytes); !bytes.isEmpty())
        receive(bytes);
    if (m_joiner.isHolding() && (m_closePending || !m_errorPending.isEmpty())) {
        m_holdTimer.stop();
        decode(m_joiner.release());
    }
    return !m_received.isEmpty();
}

// The system is asked about the connection's segments only for a read long enough to
// hold a full one: a short chat line costs nothing more.
void Connection::receive(const QByteArray &bytes)
{
    const bool atBound = bytes.size() >= ReadBufferBytes;
    bool mayGoOn = atBound || m_stream->hasUnread();
    fastpath::PathInfo path;
    if (bytes.size() >= std::max(MessageJoiner::MinSegmentBytes, m_fullSegment - MessageJoiner::MaxOptionRoom)) {
        path = fastpath::pathInfo(descriptor());
        m_fullSegment = path.fullSegment;
        // While our segments to the peer get lost, its own come shorter (see take()):
        // from when it tells us that they are missing until we have sent them again, and
        // a little longer for what is on its way.
        if (path.resent != m_resent || path.peerMissing) {
            m_resent = path.resent;
            m_lastResent.start();
            m_lastLoss.start();
        }
        // A segment from the peer was lost and what came after it waits out of order:
        // the read ends where the one sent again ends, which may be anywhere in a message.
        if (path.outOfOrder != m_outOfOrder) {
            m_outOfOrder = path.outOfOrder;
            m_lastLoss.start();
            mayGoOn = true;
        }
    }
    const bool shortened = m_lastResent.isValid() && m_lastResent.elapsed() < ShortenedForMs;
    const QByteArray whole = m_joiner.take(bytes, mayGoOn, path.fullSegment, shortened, atBound);
    decode(whole);
    holdBack(path.retransmitMicros, !whole.isEmpty());
}

// Through the decoder: a character split across two reads arrives whole; invalid bytes
// and NUL become U+FFFD.
void Connection::decode(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    QString text = m_decoder.decode(bytes);
    text.replace(QChar(0), QChar::ReplacementCharacter);
    m_received += text;
}

// (Re)starts the quiet time for what is held, within HoldMaxMs of when the message held
// began to be held. On a busy connection every read may hold back its last message, each
// a new one once something before it was delivered.
void Connection::holdBack(int retransmitMicros, bool delivered)
{
    if (!m_joiner.isHolding()) {
        m_holdTimer.stop();
        return;
    }
    if (delivered || !m_holdTimer.isActive())
        m_heldSince.start();
    const bool lossy = m_lastLoss.isValid() && m_lastLoss.elapsed() < LossyForMs;
    const int quiet = lossy                 ? HoldMaxMs
                      : retransmitMicros > 0 ? std::clamp(retransmitMicros * 2 / 1000, HoldQuietMinMs, HoldQuietMaxMs)
                                             : HoldQuietUnknownMs;
    m_holdTimer.start(int(std::clamp<qint64>(HoldMaxMs - m_heldSince.elapsed(), 0, quiet)));
}

// The peer stayed quiet: what is held is delivered as it is. Unless more has come
// meanwhile that this busy thread has not read yet: then that is read first.
void Connection::releaseHeld()
{
    if (m_heldSince.elapsed() < HoldMaxMs
        && (m_stream->hasUnread() || fastpath::bytesWaiting(descriptor()) > 0)) {
        m_holdTimer.start(HoldQuietMinMs);
        emit noted();
        return;
    }
    decode(m_joiner.release());
    if (!m_received.isEmpty())
        emit noted();
}

QString Connection::takeText()
{
    readSome();
    return std::exchange(m_received, QString());
}

bool Connection::hasMoreToRaise() const
{
    return m_stream->hasUnread() || m_closePending || !m_errorPending.isEmpty();
}

void Connection::close()
{
    m_holdTimer.stop();
    m_corkTimer.stop();
    flush();
    m_closedByUs = true;
    // Nothing noted is raised any more.
    m_closePending = false;
    m_connectPending = false;
    m_errorPending.clear();
    m_stream->close();
}

void Connection::retire()
{
    m_holdTimer.stop();
    m_corkTimer.stop();
    m_stream->disconnect(this);
    m_stream->abort();
    m_outbox.clear();
}
