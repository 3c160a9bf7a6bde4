// SPDX-License-Identifier: MIT
#include "common.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace bench {

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

int64_t nowMs() { return nowNs() / 1'000'000; }

int Outbox::write(int fd, std::string_view data)
{
    if (pending()) {
        bytes.append(data);
        return 0;
    }
    bytes.clear();
    sent = 0;
    const ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == ssize_t(data.size()))
        return 0;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
        return errno;
    bytes.assign(data.substr(n > 0 ? size_t(n) : 0));
    return 0;
}

int Outbox::flush(int fd)
{
    while (pending()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0)
            return errno == EWOULDBLOCK ? EAGAIN : errno;
        sent += size_t(n);
    }
    bytes.clear();
    sent = 0;
    return 0;
}

std::string readProcFile(pid_t pid, const char *file)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/" + file;
    std::string all;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return all;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        all.append(buf, size_t(n));
    ::close(fd);
    return all;
}

std::optional<long> procRssKb(pid_t pid)
{
    const std::string all = readProcFile(pid, "status");
    const size_t p = all.find("VmRSS:");
    if (p == std::string::npos)
        return std::nullopt;
    return std::atol(all.c_str() + p + 6);
}

}  // namespace bench
