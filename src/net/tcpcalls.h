// SPDX-License-Identifier: MIT
#pragma once

#include <QtGlobal>

// The few calls on a connected TCP socket that Qt does not offer. Made on Linux; elsewhere
// a stub knows nothing and does nothing, and the socket array works with Qt alone: no
// message is held back (the segment size is unknown), nothing is corked, and keep-alive
// keeps the system's timing.
namespace tcp {

// What the system knows of a connection's path, read in one call.
struct State
{
    // The size of a full segment this end sends; on a LAN the peer's are the same size.
    int fullSegment = 0;
    // How long this end waits before it sends a lost segment again (the peer about as long).
    int retransmitMicros = 0;
    quint32 resent = 0;     // segments this end has sent again
    quint32 outOfOrder = 0; // segments received out of order, after one that was lost
    // The peer tells us that segments of ours are missing, in every segment it sends until
    // they arrive, which makes its segments shorter (see messagejoiner.cpp).
    bool peerMissing = false;
};
State state(qintptr fd);

// How soon a peer that vanished without a word (a pulled cable, a machine switched off) is
// given up, and how long a link may be out and keep the connection (a lid closed for a
// minute, a Wi-Fi roam). A quiet connection is probed after KeepAliveIdleSeconds of
// silence, then every KeepAliveIntervalSeconds; once nothing was heard from the peer for
// UnacknowledgedSeconds while a probe or data of ours waits, the system gives it up (the
// peer's Close, or Error when the system names a cause). A quiet link back within
// QuietOutageSeconds answers the next probe before then; a busy one back within
// BusyOutageSeconds gets the next try of what waits (the waits double from about 0.2 s)
// before then. A peer that vanished while quiet and is sent a line only once the probes
// went unanswered has that line's own UnacknowledgedSeconds: up to twice as long.
constexpr int KeepAliveIdleSeconds = 10;
constexpr int KeepAliveIntervalSeconds = 5;
constexpr int UnacknowledgedSeconds = 80;
// Probes before giving up, where the system does not take UnacknowledgedSeconds.
constexpr int KeepAliveProbes = (UnacknowledgedSeconds - KeepAliveIdleSeconds) / KeepAliveIntervalSeconds;
// The bounds these figures keep (README, "Limits").
constexpr int QuietOutageSeconds = 60;
constexpr int BusyOutageSeconds = 30;
constexpr int GoneWithinSeconds = 90;
static_assert(KeepAliveIdleSeconds + QuietOutageSeconds + KeepAliveIntervalSeconds < UnacknowledgedSeconds - 2);
static_assert(2 * BusyOutageSeconds + 10 < UnacknowledgedSeconds);
static_assert(UnacknowledgedSeconds + 5 < GoneWithinSeconds);
bool setKeepAliveTiming(qintptr fd); // false when the system refused it

// Writes what the system takes at once, without blocking or SIGPIPE; how many bytes.
qint64 sendNow(qintptr fd, const char *data, qint64 size);
qint64 bytesWaiting(qintptr fd); // received, not yet read
qint64 unsentBytes(qintptr fd);  // ours, in the system, not yet sent
// Whether the peer's receive window takes what of ours is not sent yet; true when unknown.
bool windowTakes(qintptr fd, qint64 unsent);
// Segments that are not full wait while corked (200 ms at most). False when not done.
bool setCorked(qintptr fd, bool corked);
// Shuts the write side: what was written, then the end, reach the peer, while reading
// goes on. False when not done.
bool shutdownWrite(qintptr fd);

} // namespace tcp
