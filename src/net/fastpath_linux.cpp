// SPDX-License-Identifier: MIT
// The socket array's system calls on Linux.

#include "fastpath.h"

#include "descriptorstream.h"

#include <QFile>
#include <QString>

#include <algorithm>
#include <cstddef>
#include <map>

#include <netinet/in.h>
#include <linux/tcp.h>
#include <sys/epoll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fastpath {

bool available()
{
    return true;
}

EpollSet::EpollSet()
    : m_handle(::epoll_create1(EPOLL_CLOEXEC))
{
}

EpollSet::~EpollSet()
{
    if (m_handle >= 0)
        ::close(m_handle);
}

void EpollSet::unwatch(qintptr fd)
{
    if (m_handle >= 0 && fd >= 0)
        ::epoll_ctl(m_handle, EPOLL_CTL_DEL, int(fd), nullptr);
}

namespace {

void addTo(int set, qintptr fd, unsigned events, quint64 key)
{
    if (set < 0 || fd < 0)
        return;
    epoll_event ev{};
    ev.events = events;
    ev.data.u64 = key;
    ::epoll_ctl(set, EPOLL_CTL_ADD, int(fd), &ev);
}

} // namespace

void ReadinessProbe::watch(qintptr fd)
{
    addTo(m_handle, fd, EPOLLIN | EPOLLRDHUP, quint64(fd));
}

// Asked without waiting.
bool ReadinessProbe::anyReady() const
{
    if (m_handle < 0)
        return true;
    epoll_event ev;
    return ::epoll_wait(m_handle, &ev, 1, 0) > 0;
}

void StreamWatch::watch(qintptr fd, quint64 key)
{
    addTo(m_handle, fd, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, key);
}

int StreamWatch::take(Change *out, int max)
{
    if (m_handle < 0)
        return 0;
    epoll_event events[64];
    const int n = ::epoll_wait(m_handle, events, std::min(max, 64), 0);
    for (int i = 0; i < n; ++i)
        out[i] = {events[i].data.u64, events[i].events};
    return std::max(n, 0);
}

Stream *openStream(qintptr fd, QObject *parent)
{
    return new DescriptorStream(fd, parent);
}

void closeDescriptor(qintptr fd)
{
    if (fd >= 0)
        ::close(int(fd));
}

qint64 sendDirect(qintptr fd, const char *data, qint64 size)
{
    if (fd < 0)
        return 0;
    const ssize_t n = ::send(int(fd), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? n : 0;
}

PathInfo pathInfo(qintptr fd)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    if (fd < 0 || ::getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, &info, &size) != 0)
        return {};
    PathInfo path{int(info.tcpi_snd_mss), int(info.tcpi_rto), info.tcpi_total_retrans, 0,
                  info.tcpi_sacked > 0 || info.tcpi_lost > 0};
    if (size >= offsetof(tcp_info, tcpi_rcv_ooopack) + sizeof info.tcpi_rcv_ooopack) // Linux 5.4
        path.outOfOrder = info.tcpi_rcv_ooopack;
    return path;
}

void setKeepAliveTiming(qintptr fd)
{
    if (fd < 0)
        return;
    int idle = KeepAliveIdleSeconds, interval = KeepAliveIntervalSeconds, count = KeepAliveProbes;
    unsigned int unacknowledged = UnacknowledgedSeconds * 1000;
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
    // Also bounds the keep-alive probes: given up once nothing was heard for this long.
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_USER_TIMEOUT, &unacknowledged, sizeof unacknowledged);
}

namespace {

// The system's routing tables as text, one route a line; default routes by interface.
// /proc/net/route: Iface Destination Gateway Flags RefCnt Use Metric Mask ...
// /proc/net/ipv6_route: Destination PrefixLength Source SourceLength NextHop Metric
//                       RefCnt Use Flags Iface
constexpr unsigned RouteUp = 0x0001;
constexpr unsigned RouteReject = 0x0200;

QList<QByteArrayList> routeLines(const char *path)
{
    QFile file(QString::fromLatin1(path));
    QList<QByteArrayList> lines;
    if (!file.open(QIODevice::ReadOnly))
        return lines;
    for (const QByteArray &line : file.readAll().split('\n'))
        lines.append(line.simplified().split(' '));
    return lines;
}

void addDefaults(std::multimap<unsigned, QString> &out, const char *path, bool ipv6)
{
    const qsizetype iface = ipv6 ? 9 : 0, dest = ipv6 ? 0 : 1, flags = ipv6 ? 8 : 3, metric = ipv6 ? 5 : 6;
    for (const QByteArrayList &f : routeLines(path)) {
        if (f.size() < (ipv6 ? 10 : 8) || f[iface] == "lo" || f[iface] == "Iface")
            continue;
        const bool isDefault = ipv6 ? (f[dest] == QByteArray(32, '0') && f[1] == "00")
                                    : (f[dest] == "00000000" && f[7] == "00000000");
        const unsigned routeFlags = f[flags].toUInt(nullptr, 16);
        if (isDefault && (routeFlags & RouteUp) && !(routeFlags & RouteReject))
            out.emplace(f[metric].toUInt(nullptr, ipv6 ? 16 : 10), QString::fromLatin1(f[iface]));
    }
}

} // namespace

QStringList defaultRouteInterfaces()
{
    QStringList names;
    for (const bool ipv6 : {false, true}) {
        std::multimap<unsigned, QString> byMetric;
        addDefaults(byMetric, ipv6 ? "/proc/net/ipv6_route" : "/proc/net/route", ipv6);
        for (const auto &[metric, name] : byMetric) {
            if (!names.contains(name))
                names.append(name);
        }
    }
    return names;
}

qint64 bytesWaiting(qintptr fd)
{
    int n = 0;
    return fd >= 0 && ::ioctl(int(fd), FIONREAD, &n) == 0 ? n : 0;
}

qint64 unsentBytes(qintptr fd)
{
    int n = 0;
    return fd >= 0 && ::ioctl(int(fd), SIOCOUTQNSD, &n) == 0 ? n : 0;
}

bool windowTakes(qintptr fd, qint64 unsent)
{
    tcp_info info{};
    socklen_t size = sizeof info;
    int queued = 0;
    if (fd < 0 || ::getsockopt(int(fd), IPPROTO_TCP, TCP_INFO, &info, &size) != 0
        || size < offsetof(tcp_info, tcpi_snd_wnd) + sizeof info.tcpi_snd_wnd // Linux 5.4
        || ::ioctl(int(fd), SIOCOUTQ, &queued) != 0)
        return true;
    const qint64 inFlight = qint64(queued) - unsent;
    return qint64(info.tcpi_snd_wnd) - inFlight >= unsent;
}

bool setCorked(qintptr fd, bool corked)
{
    int on = corked ? 1 : 0;
    return fd >= 0 && ::setsockopt(int(fd), IPPROTO_TCP, TCP_CORK, &on, sizeof on) == 0;
}

bool shutdownWrite(qintptr fd)
{
    return fd >= 0 && ::shutdown(int(fd), SHUT_WR) == 0;
}

} // namespace fastpath
