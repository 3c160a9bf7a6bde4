// SPDX-License-Identifier: MIT
// The clients' sockets: non-blocking connects, sends, reads, leaving by FIN or reset,
// and the epoll loop.
#include "churn.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace churn {

void Churn::fail(const std::string &why)
{
    if (failure_.empty())
        failure_ = why;
}

Conn *Churn::open(Kind kind, std::string name)
{
    auto c = std::make_unique<Conn>();
    c->id = nextId_++;
    c->kind = kind;
    c->name = std::move(name);
    c->born = bench::nowMs();
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) {
        fail(std::string("socket: ") + std::strerror(errno));
        return nullptr;
    }
    int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(opt_.port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int r = connect(c->fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS) {
        fail(c->name + ": connect: " + std::strerror(errno));
        ::close(c->fd);
        return nullptr;
    }
    epoll_event ev{};
    ev.data.u64 = c->id;
    epoll_ctl(ep_, EPOLL_CTL_ADD, c->fd, &ev);
    Conn *p = c.get();
    conns_[p->id] = std::move(c);
    if (r == 0)
        onConnected(*p);
    else
        setEvents(*p);
    return p;
}

void Churn::setEvents(Conn &c)
{
    uint32_t want = c.reads ? uint32_t(EPOLLIN) : 0;
    if (!c.connected || c.out.pending())
        want |= EPOLLOUT;
    if (want == c.events)
        return;
    c.events = want;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = c.id;
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
}

// One send() per call when nothing waits, so the hub sees the message boundaries a
// real client makes; what the socket does not take waits for EPOLLOUT.
void Churn::send(Conn &c, std::string_view data)
{
    if (!c.connected) {
        c.out.append(data);
        return;
    }
    if (const int e = c.out.write(c.fd, data)) {
        c.broken = std::strerror(e);
        return;
    }
    if (c.out.pending())
        setEvents(c);
}

void Churn::flush(Conn &c)
{
    if (const int e = c.out.flush(c.fd)) {
        if (e != EAGAIN)
            c.broken = std::strerror(e);
        return;
    }
    setEvents(c);
}

// Leaves: an orderly close (FIN), or with a zero linger a reset (RST).
void Churn::drop(uint64_t id, bool reset)
{
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    Conn &c = *it->second;
    if (reset) {
        linger lg{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    conns_.erase(it);
}

void Churn::onConnected(Conn &c)
{
    c.connected = true;
    setEvents(c);
    switch (c.kind) {
    case Kind::Steady:
        send(c, "_RqSck ");
        send(c, "_Cnnct " + c.name);
        break;
    case Kind::Churn:
    case Kind::Long:
        send(c, "_RqSck _Cnnct " + c.name);
        c.stage = 1;
        break;
    case Kind::Mix:
        break;
    }
    flush(c);
}

// The hub closed a connection. Steady, churn and long-line clients read all the time
// and keep to the bounds, so the hub has no reason to: it is a failure. Extra clients
// may be dropped (one that does not read, for instance).
void Churn::onPeerClosed(Conn &c, const char *why)
{
    if (c.kind == Kind::Mix) {
        ++mixDropped_;
        drop(c.id, false);
        return;
    }
    fail(c.name + ": connection closed by the hub (" + why + ")");
    drop(c.id, false);
}

void Churn::onReadable(Conn &c)
{
    if (!readInput(c))
        return;
    switch (c.kind) {
    case Kind::Steady:
        parseSteady(c);
        break;
    case Kind::Churn:
        checkChurnReply(c);
        break;
    case Kind::Long:
        checkLongEchoes(c);
        break;
    case Kind::Mix:
        break;
    }
}

// Reads what has come (extra clients throw it away). False when the hub closed the
// connection, which is then gone.
bool Churn::readInput(Conn &c)
{
    static char buf[256 * 1024];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            onPeerClosed(c, "end of stream");
            return false;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            onPeerClosed(c, std::strerror(errno));
            return false;
        }
        if (c.kind != Kind::Mix)
            c.in.append(buf, size_t(n));
        if (size_t(n) < sizeof buf)
            break;
    }
    return true;
}

void Churn::pump(int timeoutMs)
{
    dropBroken();
    epoll_event evs[64];
    const int n = epoll_wait(ep_, evs, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        auto it = conns_.find(evs[i].data.u64);
        if (it == conns_.end())
            continue;
        Conn &c = *it->second;
        const uint64_t id = c.id;
        if (!c.connected && !finishConnect(c))
            continue;
        if (evs[i].events & EPOLLOUT)
            flush(c);
        if (!conns_.count(id))
            continue;
        if (c.reads && (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            onReadable(c);
        else if (!c.reads && (evs[i].events & (EPOLLHUP | EPOLLERR)))
            onPeerClosed(c, "reset");
    }
}

// The connections whose send failed since the last pass.
void Churn::dropBroken()
{
    std::vector<uint64_t> broken;
    for (auto &[id, c] : conns_)
        if (c->broken)
            broken.push_back(id);
    for (uint64_t id : broken)
        onPeerClosed(*conns_[id], conns_[id]->broken);
}

// A non-blocking connect has ended. False when it failed (a failure of the run) or the
// connection is gone.
bool Churn::finishConnect(Conn &c)
{
    const uint64_t id = c.id;
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err != 0) {
        fail(c.name + ": connect: " + std::strerror(err));
        drop(id, false);
        return false;
    }
    onConnected(c);
    return conns_.count(id) != 0;
}

}  // namespace churn
