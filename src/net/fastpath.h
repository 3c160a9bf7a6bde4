#pragma once

#include <QtGlobal>

// The few system calls the socket array makes beside Qt's own. fastpath_linux.cpp makes
// them on Linux; fastpath_portable.cpp stands in on other systems with Qt alone: its
// probe always answers "maybe", its direct send writes nothing (so everything goes through
// the socket's buffer), keep-alive keeps the system's timing, and there is no half close.
// The build takes one of the two (see src/CMakeLists.txt).
namespace fastpath {

// True for the Linux calls, false for the portable fallback.
bool available();

// A set of connections that tells in one cheap call whether any of them has something to
// read, a connection waiting or a close; the hub's yield asks it between sends.
class ReadinessProbe
{
public:
    ReadinessProbe();
    ~ReadinessProbe();
    ReadinessProbe(const ReadinessProbe &) = delete;
    ReadinessProbe &operator=(const ReadinessProbe &) = delete;

    void watch(qintptr fd);
    void unwatch(qintptr fd);
    // False only when nothing watched is ready; true when it cannot tell.
    bool anyReady() const;

private:
    [[maybe_unused]] int m_handle = -1; // the epoll set; the portable fallback has none
};

// Writes what the connection takes at once, without blocking and without a SIGPIPE.
// Returns how many bytes that was; a failure is 0 and left to the socket to report.
qint64 sendDirect(qintptr fd, const char *data, qint64 size);

// Keep-alive timing, for a connection whose keep-alive is on: the first probe after a
// minute of silence, then one every 10 s, given up after 6 unanswered probes.
constexpr int KeepAliveIdleSeconds = 60;
constexpr int KeepAliveIntervalSeconds = 10;
constexpr int KeepAliveProbes = 6;
void setKeepAliveTiming(qintptr fd);

// Shuts the connection's write side: what was written reaches the peer, then the end of
// the connection, while reading goes on. False when it was not done.
bool shutdownWrite(qintptr fd);

} // namespace fastpath
