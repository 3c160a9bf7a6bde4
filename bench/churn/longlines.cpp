// SPDX-License-Identifier: MIT
// The long lines: before the churn, one client sends lines of longChars characters,
// two in flight, and reads their echoes.
#include "churn.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace churn {

// Up to a third of the run unless --long-seconds says otherwise.
void Churn::startLong()
{
    if (failure_.empty() && opt_.longLines > 0) {
        const double secs = opt_.longSeconds >= 0 ? opt_.longSeconds : opt_.minutes * 20 - 5;
        longEnd_ = bench::nowMs() + int64_t(std::max(0.0, secs) * 1000);
        if (Conn *c = open(Kind::Long, "L01"))
            longId_ = c->id;
    } else {
        longDone_ = true;
    }
}

void Churn::checkLongEchoes(Conn &c)
{
    for (;;) {
        if (longBack_ >= longSent_) {
            c.in.clear();
            return;
        }
        char head[40];
        std::snprintf(head, sizeof head, "_SendM %s >> %07ld ", c.name.c_str(), longBack_ + 1);
        const size_t p = c.in.find(head);
        if (p == std::string::npos) {
            const size_t keep = std::strlen(head);
            if (c.in.size() > keep)
                c.in.erase(0, c.in.size() - keep);
            return;
        }
        c.in.erase(0, p + std::strlen(head));
        ++longBack_;
    }
}

void Churn::tickLong(int64_t now)
{
    if (longDone_)
        return;
    auto it = conns_.find(longId_);
    if (it == conns_.end()) {
        longDone_ = true;
        return;
    }
    Conn &c = *it->second;
    if (longBack_ < longSent_ && now - longSentAt_[size_t(longBack_)] > opt_.stallSeconds * 1000) {
        fail("long line " + std::to_string(longBack_ + 1) + " not relayed back within "
             + std::to_string(int(opt_.stallSeconds)) + " s");
        return;
    }
    const bool over = longSent_ >= opt_.longLines || now >= longEnd_;
    if (over) {
        if (longBack_ == longSent_) {
            longDone_ = true;
            std::printf("churn: long lines: %ld of %d characters relayed back in %.0f s\n",
                        longSent_, opt_.longChars, double(now - t0_) / 1000);
            std::fflush(stdout);
            drop(c.id, false);
        }
        return;
    }
    // Two lines in flight: the hub's queues stay small, the line rate stays high.
    if (c.stage < 1 || longSent_ - longBack_ >= 2 || c.out.pending())
        return;
    sendLong(c, now);
}

void Churn::sendLong(Conn &c, int64_t now)
{
    char head[40];
    std::snprintf(head, sizeof head, "%s >> %07ld ", c.name.c_str(), longSent_ + 1);
    std::string line = "_SendM ";
    line += head;
    for (size_t k = line.size() - 7; k < size_t(opt_.longChars); ++k)
        line += char('a' + k % 26);
    longSentAt_.push_back(now);
    ++longSent_;
    send(c, line);
}

}  // namespace churn
