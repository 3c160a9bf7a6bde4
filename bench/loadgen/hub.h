// SPDX-License-Identifier: MIT
// The hub's CPU time and resident memory, from /proc of its process.
#pragma once

#include <sys/types.h>

namespace loadgen {

struct HubSample {
    bool ok = false;  // both figures were read
    double cpuMs = 0;  // utime + stime of all its threads
    long rssKb = 0;
};

HubSample readHub(pid_t pid);

}  // namespace loadgen
