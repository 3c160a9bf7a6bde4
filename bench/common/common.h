// SPDX-License-Identifier: MIT
// What the load generator and the churn driver both need: the monotonic clock, a
// non-blocking socket's pending output, and the hub's figures from /proc.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bench {

// CLOCK_MONOTONIC in nanoseconds and in whole milliseconds.
int64_t nowNs();
int64_t nowMs();

// Output for a non-blocking socket that it has not taken yet.
struct Outbox {
    std::string bytes;
    size_t sent = 0;  // the part of bytes the socket has already taken

    bool pending() const { return sent < bytes.size(); }
    void append(std::string_view data) { bytes.append(data); }
    // Sends data with one send() when nothing waits, so that the hub sees the message
    // boundaries a real client makes (TCP may still merge them); keeps what the socket
    // does not take, after anything that already waits. Returns 0, or the errno of a
    // failed send (nothing is kept then).
    int write(int fd, std::string_view data);
    // Sends what waits as far as the socket takes it. Returns 0 when all of it went,
    // EAGAIN when the socket is full, or the errno of a failed send.
    int flush(int fd);
};

// The whole of /proc/PID/FILE, read with plain read(): a process that is going away
// makes the read fail, which reads as an empty file, not as an exception.
std::string readProcFile(pid_t pid, const char *file);
// VmRSS of the process in kB; none when /proc/PID/status has no such line (a process
// that is gone, or a zombie).
std::optional<long> procRssKb(pid_t pid);

}  // namespace bench
