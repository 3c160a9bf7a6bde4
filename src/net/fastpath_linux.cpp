// The socket array's system calls on Linux.

#include "fastpath.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fastpath {

bool available()
{
    return true;
}

// An epoll set of our own, beside Qt's event dispatcher, asked without waiting.
ReadinessProbe::ReadinessProbe()
    : m_handle(::epoll_create1(EPOLL_CLOEXEC))
{
}

ReadinessProbe::~ReadinessProbe()
{
    if (m_handle >= 0)
        ::close(m_handle);
}

void ReadinessProbe::watch(qintptr fd)
{
    if (m_handle < 0 || fd < 0)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = int(fd);
    ::epoll_ctl(m_handle, EPOLL_CTL_ADD, int(fd), &ev);
}

void ReadinessProbe::unwatch(qintptr fd)
{
    if (m_handle >= 0 && fd >= 0)
        ::epoll_ctl(m_handle, EPOLL_CTL_DEL, int(fd), nullptr);
}

bool ReadinessProbe::anyReady() const
{
    if (m_handle < 0)
        return true;
    epoll_event ev;
    return ::epoll_wait(m_handle, &ev, 1, 0) > 0;
}

qint64 sendDirect(qintptr fd, const char *data, qint64 size)
{
    if (fd < 0)
        return 0;
    const ssize_t n = ::send(int(fd), data, size_t(size), MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? n : 0;
}

void setKeepAliveTiming(qintptr fd)
{
    if (fd < 0)
        return;
    int idle = KeepAliveIdleSeconds, interval = KeepAliveIntervalSeconds, count = KeepAliveProbes;
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
    ::setsockopt(int(fd), IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

bool shutdownWrite(qintptr fd)
{
    return fd >= 0 && ::shutdown(int(fd), SHUT_WR) == 0;
}

} // namespace fastpath
