// SPDX-License-Identifier: MIT
#include "connection.h"

#include "tcpcalls.h"

#include <QTcpSocket>

#include <algorithm>

Connection::Connection(QTcpSocket *socket, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_cork(socket)
{
    socket->setParent(this);
    socket->setReadBufferSize(ReadBoundBytes);
    // These run inside the socket's own calls: they only note.
    connect(socket, &QTcpSocket::readyRead, this, &Connection::noted);
    connect(socket, &QTcpSocket::connected, this, [this] {
        setOptions();
        m_connectPending = true;
        emit noted();
    });
    connect(socket, &QTcpSocket::disconnected, this, [this] {
        if (!m_closedByUs) {
            m_closePending = true;
            emit noted();
        }
    });
    connect(socket, &QTcpSocket::errorOccurred, this, &Connection::onError);
    connect(&m_joiner, &MessageJoiner::wake, this, &Connection::noted);
    m_joiner.setMoreWaiting([this] {
        return m_socket->bytesAvailable() > 0 || tcp::bytesWaiting(descriptor()) > 0;
    });
}

// Lines are short and gathered per peer already: low delay. Keep-alive finds a peer that
// vanished without closing. Room in the system for all that may wait, so that it takes
// every message whole: one taken only in part may leave without its rest (cork.h).
void Connection::setOptions()
{
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, int(MaxQueuedBytes));
    if (isConnected() && !tcp::setKeepAliveTiming(descriptor()))
        qWarning("lanchat: the system's keep-alive timing stays: a vanished peer may be noticed only after hours");
    m_cork.setFullSegment(tcp::state(descriptor()).fullSegment);
}

void Connection::onError()
{
    if (m_closedByUs)
        return;
    const auto err = m_socket->error();
    // The peer's close or reset comes as disconnected, i.e. Close. So does a time-out,
    // a peer lost without a word (tcpcalls.h), which Qt reports while still connected.
    if (err == QAbstractSocket::RemoteHostClosedError || (isConnected() && err == QAbstractSocket::SocketTimeoutError))
        return;
    m_errorPending = m_socket->errorString();
    emit noted();
}

// What joins a non-empty outbox was checked with its first part: flush() looks at the
// connection again.
bool Connection::send(const QByteArray &utf8, bool gather)
{
    const bool first = m_outbox.empty();
    if (first && !isConnected())
        return false;
    if (bytesQueued() + utf8.size() > MaxQueuedBytes) {
        drop();
        return false;
    }
    if (!gather) {
        writeNow(utf8.constData(), utf8.size());
        return false;
    }
    m_outbox.append(utf8.constData(), size_t(utf8.size()));
    if (qint64(m_outbox.size()) >= OutboxFlushBytes)
        flush();
    return first;
}

// The peer does not read what we send: dropped rather than queued without end, and
// raised as its Close.
void Connection::drop()
{
    m_outbox.clear();
    m_closedByUs = true;
    m_socket->abort();
    m_closePending = true;
    emit noted();
}

void Connection::flush()
{
    if (m_outbox.empty())
        return;
    if (isConnected()) // a peer that left meanwhile gets nothing
        writeNow(m_outbox.data(), qint64(m_outbox.size()));
    // The storage is kept for the next event, unless a long line made it large.
    if (qint64(m_outbox.capacity()) <= OutboxFlushBytes * 2)
        m_outbox.clear();
    else
        std::string().swap(m_outbox);
}

// Straight to the system when nothing of ours waits in the socket's buffer; the rest goes
// through that buffer, which writes it as the peer reads.
void Connection::writeNow(const char *data, qint64 size)
{
    m_cork.beforeWrite(size);
    const qint64 done = m_socket->bytesToWrite() == 0 ? tcp::sendNow(descriptor(), data, size) : 0;
    if (done < size) {
        m_socket->write(data + done, size - done);
        m_socket->flush();
    }
    m_cork.update();
}

// Reads at most ReadBoundBytes. Once the peer has closed or failed, nothing more will
// come: what is held is delivered too.
bool Connection::readSome()
{
    if (!m_socket->isOpen()) // dropped or closed by us: nothing more to read
        return !m_received.isEmpty();
    if (const qint64 buffered = m_socket->bytesAvailable(); buffered > 0) {
        // Asking for exactly what the socket holds hands its block over without a copy.
        const QByteArray bytes = m_socket->read(std::min(buffered, ReadBoundBytes));
        const MessageJoiner::Read read{bytes.size() >= ReadBoundBytes, m_socket->bytesAvailable() > 0};
        tcp::State state;
        const bool asked = m_joiner.wantsState(bytes.size());
        if (asked)
            state = tcp::state(descriptor());
        decode(m_joiner.take(bytes, read, asked ? &state : nullptr));
    }
    if (m_joiner.isHolding() && (m_joiner.isDue() || m_closePending || !m_errorPending.isEmpty()))
        decode(m_joiner.takeHeld());
    return !m_received.isEmpty();
}

// A character split across two reads arrives whole; invalid bytes and NUL become U+FFFD.
void Connection::decode(const QByteArray &bytes)
{
    if (!bytes.isEmpty())
        m_received += QString(m_decoder.decode(bytes)).replace(QChar(0), QChar::ReplacementCharacter);
}

void Connection::close()
{
    m_joiner.takeHeld();
    flush();
    m_closedByUs = true;
    m_closePending = false;
    m_connectPending = false;
    m_errorPending.clear();
    if (m_socket->state() != QAbstractSocket::UnconnectedState)
        m_socket->close();
}

void Connection::retire()
{
    m_joiner.takeHeld();
    m_cork.stop();
    m_socket->disconnect(this);
    m_socket->abort();
    m_outbox.clear();
}
