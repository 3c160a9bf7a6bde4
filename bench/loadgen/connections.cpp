// SPDX-License-Identifier: MIT
// The clients' sockets: connecting, sending, reading, and the epoll loop.
#include "loadgen.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace loadgen {

bool LoadGen::connectClient(Client &c)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(opt_.port));
    inet_pton(AF_INET, opt_.host.c_str(), &sa.sin_addr);
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c.fd < 0)
        return false;
    if (connect(c.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        std::fprintf(stderr, "loadgen: connect %s:%d for %s: %s\n", opt_.host.c_str(), opt_.port,
                     c.name.c_str(), std::strerror(errno));
        ::close(c.fd);
        c.fd = -1;
        return false;
    }
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = uint32_t(c.idx);
    epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev);
    return true;
}

void LoadGen::closeClient(Client &c, const char *why)
{
    if (c.closed)
        return;
    std::fprintf(stderr, "loadgen: %s: connection closed (%s)\n", c.name.c_str(), why);
    c.closed = true;
    ++err_.closed;
    epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.fd = -1;
}

// Each call is one send() when nothing is queued, so the hub sees the same
// message boundaries a real client produces (TCP may still merge them).
void LoadGen::queue(Client &c, std::string_view data)
{
    if (c.closed)
        return;
    if (const int e = c.out.write(c.fd, data)) {
        closeClient(c, std::strerror(e));
        return;
    }
    if (c.out.pending() && !c.wantOut)
        watchOutput(c, true);
}

void LoadGen::flush(Client &c)
{
    if (const int e = c.out.flush(c.fd)) {
        if (e != EAGAIN)
            closeClient(c, std::strerror(e));
        return;
    }
    watchOutput(c, false);
}

// Whether epoll reports the socket writable too: only while output waits.
void LoadGen::watchOutput(Client &c, bool on)
{
    epoll_event ev{};
    ev.events = on ? EPOLLIN | EPOLLOUT : EPOLLIN;
    ev.data.u32 = uint32_t(c.idx);
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
    c.wantOut = on;
}

void LoadGen::onReadable(Client &c)
{
    static char buf[256 * 1024];
    for (int round = 0; round < 64 && !c.closed; ++round) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.in.append(buf, size_t(n));
            if (size_t(n) < sizeof buf)
                break;
            continue;
        }
        if (n == 0) {
            closeClient(c, "end of stream");
            return;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            break;
        closeClient(c, std::strerror(errno));
        return;
    }
    recvNs_ = bench::nowNs();
    if (opt_.mode == Mode::Irc)
        parseIrc(c);
    else
        parseSegments(c, false);
}

void LoadGen::pump(int timeoutMs)
{
    epoll_event evs[128];
    const int n = epoll_wait(ep_, evs, 128, timeoutMs);
    for (int i = 0; i < n; ++i) {
        Client &c = clients_[evs[i].data.u32];
        if (c.closed)
            continue;
        if (evs[i].events & EPOLLOUT)
            flush(c);
        if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            onReadable(c);
    }
}

}  // namespace loadgen
