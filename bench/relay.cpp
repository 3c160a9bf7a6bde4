// SPDX-License-Identifier: MIT
// relay: the smallest hub that does the same job, as a yardstick for what this
// machine can do. One thread, epoll, nonblocking sockets on a loopback port.
// Whatever one client sends is written, chunk by chunk, to every client,
// the sender included. A client that cannot take its data right away gets an
// output buffer, so the relay never blocks; one whose buffer grows past a
// bound is dropped. Stops on SIGTERM or SIGINT, or after --max-seconds.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

constexpr size_t kMaxBuffered = 64u << 20;  // per client

struct Conn {
    int fd = -1;
    std::string out;
    size_t off = 0;
    bool wantOut = false;
};

class Relay {
public:
    Relay(int ep, int listenFd) : ep_(ep), lfd_(listenFd) {}
    void acceptAll();
    void onReadable(int fd);
    void onWritable(int fd);
    void drop(int fd);

private:
    void sendTo(Conn &c, const char *data, size_t len);
    void setWantOut(Conn &c, bool want);

    int ep_;
    int lfd_;
    std::unordered_map<int, Conn> conns_;
    std::vector<int> order_;  // clients in the order they came
    std::vector<int> dead_;
};

void Relay::acceptAll()
{
    for (;;) {
        const int fd = accept4(lfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.fd = fd;
        epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev);
        conns_[fd].fd = fd;
        order_.push_back(fd);
    }
}

void Relay::setWantOut(Conn &c, bool want)
{
    if (c.wantOut == want)
        return;
    epoll_event ev{};
    ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
    ev.data.fd = c.fd;
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
    c.wantOut = want;
}

void Relay::sendTo(Conn &c, const char *data, size_t len)
{
    if (c.off == c.out.size()) {
        const ssize_t n = ::send(c.fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == ssize_t(len))
            return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            dead_.push_back(c.fd);
            return;
        }
        const size_t done = n > 0 ? size_t(n) : 0;
        c.out.assign(data + done, len - done);
        c.off = 0;
        setWantOut(c, true);
        return;
    }
    if (c.out.size() - c.off + len > kMaxBuffered) {
        std::fprintf(stderr, "relay: client %d too slow, dropped\n", c.fd);
        dead_.push_back(c.fd);
        return;
    }
    c.out.append(data, len);
}

void Relay::onReadable(int fd)
{
    static char buf[64 * 1024];
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        drop(fd);
        return;
    }
    if (n < 0)
        return;
    for (int to : order_) {
        auto it = conns_.find(to);
        if (it != conns_.end())
            sendTo(it->second, buf, size_t(n));
    }
    for (int d : dead_)
        drop(d);
    dead_.clear();
}

void Relay::onWritable(int fd)
{
    auto it = conns_.find(fd);
    if (it == conns_.end())
        return;
    Conn &c = it->second;
    while (c.off < c.out.size()) {
        const ssize_t n = ::send(fd, c.out.data() + c.off, c.out.size() - c.off,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                drop(fd);
            return;
        }
        c.off += size_t(n);
    }
    c.out.clear();
    c.off = 0;
    setWantOut(c, false);
}

void Relay::drop(int fd)
{
    auto it = conns_.find(fd);
    if (it == conns_.end())
        return;
    epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    conns_.erase(it);
    for (size_t i = 0; i < order_.size(); ++i) {
        if (order_[i] == fd) {
            order_.erase(order_.begin() + long(i));
            break;
        }
    }
}

double monoSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char **argv)
{
    int port = 0;
    double maxSeconds = 3600;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--max-seconds" && i + 1 < argc)
            maxSeconds = std::atof(argv[++i]);
        else if (port == 0)
            port = std::atoi(argv[i]);
        else
            port = -1;
    }
    if (port <= 0 || port > 65535 || maxSeconds <= 0) {
        std::fprintf(stderr, "usage: relay PORT [--max-seconds S]   (listens on 127.0.0.1)\n");
        return 2;
    }
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    const int lfd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(uint16_t(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(lfd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(lfd, 128) != 0) {
        std::fprintf(stderr, "relay: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
        return 1;
    }
    const int ep = epoll_create1(EPOLL_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = lfd;
    epoll_ctl(ep, EPOLL_CTL_ADD, lfd, &ev);

    Relay relay(ep, lfd);
    const double end = monoSeconds() + maxSeconds;
    epoll_event evs[256];
    while (!gStop && monoSeconds() < end) {
        const int n = epoll_wait(ep, evs, 256, 200);
        for (int i = 0; i < n; ++i) {
            const int fd = evs[i].data.fd;
            if (fd == lfd) {
                relay.acceptAll();
                continue;
            }
            if (evs[i].events & EPOLLOUT)
                relay.onWritable(fd);
            if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
                relay.onReadable(fd);
        }
    }
    ::close(lfd);
    return 0;
}
