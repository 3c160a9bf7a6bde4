// SPDX-License-Identifier: MIT
// The run: the steady clients and the long lines first, then every kind of client
// until the time is up; the wind-down, the memory check and the verdict.
#include "churn.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

namespace churn {

int Churn::run()
{
    std::signal(SIGPIPE, SIG_IGN);
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    t0_ = bench::nowMs();
    const int64_t end = t0_ + int64_t(opt_.minutes * 60000);
    std::printf("churn: 127.0.0.1:%d for %.1f min, seed %u, hub pid %d\n", opt_.port, opt_.minutes,
                opt_.seed, int(opt_.hubPid));
    std::fflush(stdout);

    startSteady();
    startLong();
    runUntil(end);
    const double runSeconds = double(bench::nowMs() - t0_) / 1000;
    windDown();
    const auto [midPeak, lastPeak] = checkRssLevel(runSeconds);
    closeAll();
    if (!failure_.empty())
        return reportFailure(runSeconds);
    reportPass(runSeconds, midPeak, lastPeak);
    return 0;
}

void Churn::runUntil(int64_t end)
{
    while (failure_.empty() && bench::nowMs() < end) {
        pump(2);
        const int64_t now = bench::nowMs();
        tickSteady(now);
        // The long lines go first, with only the steady clients beside them: one thread
        // cannot read 32,000-character lines for 30 clients as fast as the hub sends them,
        // and the hub rightly drops a client that falls 256 kB behind.
        tickLong(now);
        if (opt_.churn && longDone_)
            tickChurn(now);
        if (longDone_)
            tickMix(now);
        tickMonitor(now, false);
    }
}

// Extra and short clients leave; the steady lines still under way must all arrive.
void Churn::windDown()
{
    std::vector<uint64_t> others;
    for (auto &[id, c] : conns_)
        if (c->kind != Kind::Steady)
            others.push_back(id);
    for (uint64_t id : others)
        drop(id, false);
    if (failure_.empty() && !drainSteady(bench::nowMs() + int64_t(opt_.stallSeconds * 1000)))
        fail("steady lines still missing " + std::to_string(int(opt_.stallSeconds))
             + " s after the last was sent");
    tickMonitor(bench::nowMs(), true);
}

void Churn::closeAll()
{
    for (auto &[id, c] : conns_)
        ::close(c->fd);
    conns_.clear();
    ::close(ep_);
}

int Churn::reportFailure(double runSeconds)
{
    const bool died = hubGone();
    std::printf("churn: FAIL after %.0f s, %ld churn cycles + %ld in groups, %ld extra clients: %s%s\n",
                runSeconds, cycles_, groupCycles_, mixStarted_,
                died ? ("the hub process " + std::to_string(opt_.hubPid) + " died; first sign: ").c_str() : "",
                failure_.c_str());
    return 1;
}

void Churn::reportPass(double runSeconds, long midPeak, long lastPeak)
{
    std::printf("churn: PASS: %.0f s, %ld churn cycles + %ld in groups, %ld extra clients, %ld long"
                " lines, %ld steady lines checked (%ld bytes of other clients' raw text skipped);"
                " hub RSS peak %.1f MB middle third, %.1f MB last third\n",
                runSeconds, cycles_, groupCycles_, mixStarted_, longBack_, linesChecked_,
                foreignBytes_, double(midPeak) / 1024,
                double(lastPeak) / 1024);
}

}  // namespace churn
