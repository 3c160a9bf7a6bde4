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
// given up, and how long a link may be out and still keep the connection (a lid closed for
// a minute, a Wi-Fi roam, a cable put back). A quiet connection is probed after
// KeepAliveIdleSeconds of silence, then every KeepAliveIntervalSeconds; once nothing was
// heard from the peer for UnacknowledgedSeconds while a probe or data of ours waits for
// its answer, the system gives the connection up, which the socket array raises as the
// peer's Close (or Error, when the system names another cause, such as no route to it).
// - Quiet: the peer was last heard at most KeepAliveIdleSeconds before the link went out
//   (its answer to our last probe), so the time-out comes at least 70 s after it went; a link
//   back within QuietOutageSeconds answers the next probe, at most KeepAliveIntervalSeconds
//   after its return, before then.
// - Busy: while data waits, the system sends it again after waits that double each time
//   (the first about 0.2 s on a LAN: tries at 0.2, 0.6, 1.4 ... 25.4, 51 and 102 s). After
//   a link back within BusyOutageSeconds the next try comes before twice that plus the
//   first wait, and so before the time-out. A line typed early in a longer outage ends the
//   connection at the time-out.
// - A peer gone for good is given up UnacknowledgedSeconds after it was last heard when idle,
//   or after our first line it did not take when busy. One that vanished while idle and is
//   sent a line only once probes went unanswered has the line's own UnacknowledgedSeconds:
//   up to twice as long.
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
