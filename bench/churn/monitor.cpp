// SPDX-License-Identifier: MIT
// The hub's process: whether it is alive, its resident memory over the run, and the
// progress report every 30 s.
#include "churn.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace churn {

bool Churn::hubAlive() const
{
    const std::string all = bench::readProcFile(opt_.hubPid, "stat");
    const size_t close = all.rfind(')');
    if (close == std::string::npos || close + 2 >= all.size())
        return false;
    const char state = all[close + 2];
    return state != 'Z' && state != 'X';
}

// A crashed hub's connections are reset before its process is gone: looks again for
// up to 2 s.
bool Churn::hubGone() const
{
    bool died = false;
    for (int k = 0; k < 20 && opt_.hubPid > 0 && !died; ++k) {
        died = !hubAlive();
        if (!died)
            usleep(100'000);
    }
    return died;
}

long Churn::hubRssKb() const { return bench::procRssKb(opt_.hubPid).value_or(0); }

void Churn::tickMonitor(int64_t now, bool force)
{
    if (opt_.hubPid > 0 && now >= nextAliveCheck_) {
        nextAliveCheck_ = now + 500;
        if (!hubAlive())
            fail("hub process " + std::to_string(opt_.hubPid) + " died");
    }
    if (opt_.hubPid > 0 && now >= nextSample_) {
        nextSample_ = now + 2000;
        sampleRss(now);
    }
    if (force || now >= nextReport_) {
        nextReport_ = now + 30000;
        printProgress(now);
    }
}

void Churn::sampleRss(int64_t now)
{
    const long kb = hubRssKb();
    if (kb <= 0)
        return;
    rss_.emplace_back(double(now - t0_) / 1000, kb);
    if (opt_.maxRssMb > 0 && kb > opt_.maxRssMb * 1024)
        fail("hub RSS " + std::to_string(kb / 1024) + " MB passed the ceiling of "
             + std::to_string(opt_.maxRssMb) + " MB");
}

void Churn::printProgress(int64_t now) const
{
    long peak = 0;
    for (auto [t, kb] : rss_)
        peak = std::max(peak, kb);
    std::printf("churn: %4.0f s | cycles %ld (round %d) + %ld in groups | mix %ld (%ld dropped"
                " by the hub) | long lines %ld | steady lines checked %ld | hub RSS %.1f MB,"
                " peak %.1f MB\n",
                double(now - t0_) / 1000, cycles_, round_ + 1, groupCycles_,
                mixStarted_, mixDropped_, longBack_, linesChecked_,
                rss_.empty() ? 0.0 : double(rss_.back().second) / 1024, double(peak) / 1024);
    std::fflush(stdout);
}

// The hub's memory must level off: the peak of the last third of the run may not
// pass the peak of the middle third by more than the margin. Returns both peaks.
std::pair<long, long> Churn::checkRssLevel(double runSeconds)
{
    long midPeak = 0, lastPeak = 0;
    for (auto [t, kb] : rss_) {
        if (t >= runSeconds / 3 && t < runSeconds * 2 / 3)
            midPeak = std::max(midPeak, kb);
        else if (t >= runSeconds * 2 / 3)
            lastPeak = std::max(lastPeak, kb);
    }
    if (failure_.empty() && runSeconds >= 60 && midPeak > 0
        && lastPeak > midPeak + opt_.rssMarginMb * 1024)
        fail("hub RSS keeps growing: peak " + std::to_string(midPeak / 1024)
             + " MB in the middle third of the run, " + std::to_string(lastPeak / 1024)
             + " MB in the last");
    return {midPeak, lastPeak};
}

}  // namespace churn
