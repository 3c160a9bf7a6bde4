// SPDX-License-Identifier: MIT
#pragma once

#include <QStringList>
#include <QtGlobal>

class QObject;
class Stream;

// The few system calls the socket array makes beside Qt's own. fastpath_linux.cpp makes
// them on Linux; fastpath_portable.cpp stands in on other systems with Qt alone: its
// probe always answers "maybe", its direct send writes nothing (so everything goes through
// the socket's buffer), keep-alive keeps the system's timing, and there is no half close.
// The build takes one of the two (see src/CMakeLists.txt).
namespace fastpath {

// True for the Linux calls, false for the portable fallback.
bool available();

// An epoll set of our own, beside Qt's event dispatcher: what the two sets below share.
// The portable fallback has none: handle() is -1 and nothing is watched.
class EpollSet
{
public:
    EpollSet(const EpollSet &) = delete;
    EpollSet &operator=(const EpollSet &) = delete;

    int handle() const { return m_handle; }
    void unwatch(qintptr fd);

protected:
    EpollSet();
    ~EpollSet();

    int m_handle = -1;
};

// A set of connections that tells in one cheap call whether any of them has something to
// read, a connection waiting or a close; the hub's yield asks it between sends.
class ReadinessProbe : public EpollSet
{
public:
    void watch(qintptr fd);
    // False only when nothing watched is ready; true when it cannot tell.
    bool anyReady() const;
};

// The hub's connections as descriptor streams (descriptorstream.h), watched all at once,
// edge-triggered: the event loop watches handle() alone for all of them, and take() tells
// which of them changed since it was last asked (new bytes, room to write, the peer's
// close or a failure), each under the key it was watched with. Each change is told once.
class StreamWatch : public EpollSet
{
public:
    void watch(qintptr fd, quint64 key);

    struct Change
    {
        quint64 key;
        unsigned events; // epoll's event bits
    };
    // At most `max` changes, without waiting; how many.
    int take(Change *out, int max);
};

// A stream for a connection accepted by a Listener: a descriptor stream watched by a
// StreamWatch on Linux, a QTcpSocket on the portable fallback.
Stream *openStream(qintptr fd, QObject *parent);

// Closes an accepted connection that nobody took.
void closeDescriptor(qintptr fd);

// Writes what the connection takes at once, without blocking and without a SIGPIPE.
// Returns how many bytes that was; a failure is 0 and left to the socket to report.
qint64 sendDirect(qintptr fd, const char *data, qint64 size);

// What the system knows of a connection's path.
struct PathInfo
{
    // The size of a full segment that this end sends. On a LAN the peer's full segments
    // are the same size: both ends take the smaller of their two packet sizes. 0 when
    // unknown; the portable fallback assumes Ethernet's 1460.
    int fullSegment = 0;
    // How long this end waits before it sends a lost segment again, in microseconds; the
    // peer waits about as long. 0 when unknown.
    int retransmitMicros = 0;
    // Segments this end has sent again since the connection began.
    quint32 resent = 0;
    // Segments received out of order (after one that was lost) since it began.
    quint32 outOfOrder = 0;
    // The peer has told us that segments of ours are missing (it acknowledged some that
    // came after them); it says so in each segment it sends until they arrive.
    bool peerMissing = false;
};
PathInfo pathInfo(qintptr fd);

// How soon a peer that vanished without a word (a pulled cable, a machine switched off)
// is given up, for a connection whose keep-alive is on: an idle connection is probed after
// 20 s of silence, then every 5 s; a connection whose sent data (or probes) stay
// unacknowledged for 40 s is given up. The connection then times out, which the socket
// array raises as the peer's Close. So a vanished peer is noticed within about 40 s,
// idle or while we send to it. (What is sent to an idle peer while its probes go
// unanswered has 40 s of its own: one that vanished while idle and is then sent a line
// may take up to twice as long.) The portable fallback keeps the system's own timing.
constexpr int KeepAliveIdleSeconds = 20;
constexpr int KeepAliveIntervalSeconds = 5;
constexpr int KeepAliveProbes = 4;
constexpr int UnacknowledgedSeconds = 40;
void setKeepAliveTiming(qintptr fd);

// The network interfaces that hold a default route, best first: IPv4 routes by metric,
// then IPv6 ones. Empty when there is none or the system cannot tell.
QStringList defaultRouteInterfaces();

// How many received bytes wait in the system for the connection; 0 when unknown.
qint64 bytesWaiting(qintptr fd);

// How many bytes of ours the system holds and has not sent yet; 0 when unknown.
qint64 unsentBytes(qintptr fd);

// Whether the peer's receive window has room for what of ours is not sent yet (`unsent`,
// as unsentBytes() gave it); true when unknown.
bool windowTakes(qintptr fd, qint64 unsent);

// Corks the connection: segments that are not full wait until it is uncorked (or at
// most 200 ms). False when it was not done.
bool setCorked(qintptr fd, bool corked);

// Shuts the connection's write side: what was written reaches the peer, then the end of
// the connection, while reading goes on. False when it was not done.
bool shutdownWrite(qintptr fd);

} // namespace fastpath
