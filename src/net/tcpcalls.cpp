// SPDX-License-Identifier: MIT
#include "tcpcalls.h"

#ifdef Q_OS_LINUX

#include <algorithm>
#include <cstddef>

#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace tcp {

static bool tcpInfo(qintptr fd, tcp_info *info, socklen_t *size)
{
    *size = sizeof *info;
    return fd >= 0 && ::getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, info, size) == 0;
}

// Whether the system's tcp_info has the field (newer fields come with newer kernels).
#define HAS_FIELD(size, field) ((size) >= offsetof(tcp_info, field) + sizeof(tcp_info::field))

State state(qintptr fd)
{
    tcp_info info{};
    socklen_t size;
    if (!tcpInfo(fd, &info, &size))
        return {};
    State s{int(info.tcpi_snd_mss), int(info.tcpi_rto), info.tcpi_total_retrans, 0,
            info.tcpi_sacked > 0 || info.tcpi_lost > 0};
    if (HAS_FIELD(size, tcpi_rcv_ooopack)) // Linux 5.4
        s.outOfOrder = info.tcpi_rcv_ooopack;
    return s;
}

static bool setOption(qintptr fd, int option, int value)
{
    return fd >= 0 && ::setsockopt(int(fd), IPPROTO_TCP, option, &value, sizeof value) == 0;
}

bool setKeepAliveTiming(qintptr fd)
{
    // The user time-out also bounds the probes: given up once nothing was heard for it.
    return setOption(fd, TCP_KEEPIDLE, KeepAliveIdleSeconds) && setOption(fd, TCP_KEEPINTVL, KeepAliveIntervalSeconds)
           && setOption(fd, TCP_KEEPCNT, KeepAliveProbes)
           && setOption(fd, TCP_USER_TIMEOUT, UnacknowledgedSeconds * 1000);
}

qint64 sendNow(qintptr fd, const char *data, qint64 size)
{
    const ssize_t n = fd < 0 ? -1 : ::send(int(fd), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? n : 0;
}

// A queue's length in bytes, or -1.
static qint64 queued(qintptr fd, unsigned long request)
{
    int n = 0;
    return fd >= 0 && ::ioctl(int(fd), request, &n) == 0 ? n : -1;
}

qint64 bytesWaiting(qintptr fd) { return std::max<qint64>(queued(fd, FIONREAD), 0); }
qint64 unsentBytes(qintptr fd) { return std::max<qint64>(queued(fd, SIOCOUTQNSD), 0); }

bool windowTakes(qintptr fd, qint64 unsent)
{
    tcp_info info{};
    socklen_t size;
    const qint64 inFlight = queued(fd, SIOCOUTQ) - unsent; // sent, not yet acknowledged
    if (!tcpInfo(fd, &info, &size) || !HAS_FIELD(size, tcpi_snd_wnd) || inFlight + unsent < 0) // Linux 5.4
        return true;
    return qint64(info.tcpi_snd_wnd) - inFlight >= unsent;
}

bool setCorked(qintptr fd, bool corked) { return setOption(fd, TCP_CORK, corked ? 1 : 0); }

bool shutdownWrite(qintptr fd) { return fd >= 0 && ::shutdown(int(fd), SHUT_WR) == 0; }

} // namespace tcp

#else // the stub for other systems

namespace tcp {
State state(qintptr) { return {}; }
bool setKeepAliveTiming(qintptr) { return false; }
qint64 sendNow(qintptr, const char *, qint64) { return 0; }
qint64 bytesWaiting(qintptr) { return 0; }
qint64 unsentBytes(qintptr) { return 0; }
bool windowTakes(qintptr, qint64) { return true; }
bool setCorked(qintptr, bool) { return false; }
bool shutdownWrite(qintptr) { return false; }
} // namespace tcp

#endif
