// SPDX-License-Identifier: MIT
#include "hub.h"

#include "common/common.h"

#include <unistd.h>

#include <sstream>
#include <string>

namespace loadgen {

HubSample readHub(pid_t pid)
{
    HubSample r;
    if (pid <= 0)
        return r;
    const std::string all = bench::readProcFile(pid, "stat");
    const size_t close = all.rfind(')');
    if (close == std::string::npos)
        return r;
    std::istringstream fields(all.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15)
            stime = std::stoull(f);
    }
    r.cpuMs = double(utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    if (const auto rss = bench::procRssKb(pid)) {
        r.rssKb = *rss;
        r.ok = true;
    }
    return r;
}

}  // namespace loadgen
