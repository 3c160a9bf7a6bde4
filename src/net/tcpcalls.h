// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

// The few calls on a connected TCP socket that Qt does not offer: its path's state, the
// keep-alive timing, cork, and the queues in the system. Made on Linux; on other systems
// a stub stands in (tcpcalls.cpp), which knows nothing and does nothing, so that the
// socket array then works with Qt's sockets alone: no message is held back (the segment
// size is unknown), nothing is corked, keep-alive keeps the system's timing.
namespace tcp {

// What the system knows of a connection's path, read in one call.
struct State
{
    // The size of a full segment this end sends; the peer's are the same size on a LAN,
    // both ends taking the smaller of their packet sizes. 0 when unknown.
    int fullSegment = 0;
    // How long this end waits before it sends a lost segment again, in microseconds; the
    // peer waits about as long. 0 when unknown.
    int retransmitMicros = 0;
    quint32 resent = 0;     // segments this end has sent again since the connection began
    quint32 outOfOrder = 0; // segments received out of order, after one that was lost
    // The peer tells us that segments of ours are missing; it does so in every segment it
    // sends until they arrive, which makes its segments shorter (see messagejoiner.h).
    bool peerMissing = false;
};
State state(qintptr fd);

// How soon a peer that vanished without a word (a pulled cable, a machine switched off) is
// given up: an idle connection is probed after 20 s of silence, then every 5 s; one whose
// sent data or probes stay unacknowledged for 40 s is given up. It then times out, which
// the socket array raises as the peer's Close. A peer that vanished while idle and is then
// sent a line may take up to twice as long: what was sent has its own 40 s.
constexpr int KeepAliveIdleSeconds = 20;
constexpr int KeepAliveIntervalSeconds = 5;
constexpr int KeepAliveProbes = 4;
constexpr int UnacknowledgedSeconds = 40;
// False when the system refused the timing (the connection keeps the system's own).
bool setKeepAliveTiming(qintptr fd);

// Writes what the connection takes at once, without blocking and without a SIGPIPE; how
// many bytes that was (0 on a failure, which the socket itself then reports).
qint64 sendNow(qintptr fd, const char *data, qint64 size);
// Received bytes waiting in the system; bytes of ours it holds and has not sent yet.
qint64 bytesWaiting(qintptr fd);
qint64 unsentBytes(qintptr fd);
// Whether the peer's receive window has room for what of ours is not sent yet; true when
// unknown.
bool windowTakes(qintptr fd, qint64 unsent);
// Segments that are not full wait while corked (at most 200 ms). False when not done.
bool setCorked(qintptr fd, bool corked);
// Shuts the write side: what was written reaches the peer, then the end of the
// connection, while reading goes on. False when not done.
bool shutdownWrite(qintptr fd);

} // namespace tcp
