// SPDX-License-Identifier: MIT
// The churn rounds: short clients one after the other, then groups that connect at
// once and leave in a shuffled order; the next clients come once the hub has announced
// the departures of the last.
#include "churn.h"

#include <algorithm>
#include <cstdio>

namespace churn {

namespace {

constexpr int kCyclesPerRound = 200;
constexpr int kGroupSize = 20;
constexpr int kGroupsPerRound = 10;

}  // namespace

// A short client waits for its slot, sends one line, waits for the line's echo.
void Churn::checkChurnReply(Conn &c)
{
    for (;;) {
        const std::string_view want = c.stage == 1 ? std::string_view("_SdSck ") : c.expect;
        const size_t p = c.stage >= 3 ? std::string::npos : c.in.find(want);
        if (p == std::string::npos) {
            // Keep only what could still be the start of the awaited text.
            if (c.in.size() > want.size())
                c.in.erase(0, c.in.size() - want.size());
            return;
        }
        c.in.erase(0, p + want.size());
        if (c.stage == 1) {
            c.expect = "_SendM " + c.name + " >> x " + std::to_string(++lineNo_);
            send(c, c.expect);
            c.stage = 2;
        } else {
            c.stage = 3;
            return;
        }
    }
}

void Churn::tickChurn(int64_t now)
{
    const Progress progress = activeProgress(now);
    if (progress == Progress::Stalled)
        return;
    if (progress == Progress::Done)
        leaveActive(now);
    if (!active_.empty())
        return;
    // The next clients come once the hub has announced these departures: it keeps at
    // most 50 clients, and refuses more, however quickly the others leave.
    if (!departing_.empty()) {
        if (now - activeSince_ > opt_.stallSeconds * 1000)
            fail("the departure of " + departing_.front() + " was not announced within "
                 + std::to_string(int(opt_.stallSeconds)) + " s");
        return;
    }
    startNext(now);
}

// Whether every client of the cycle or group under way has had its echo. Stalled (a
// failure) when one has waited for the hub longer than the stall time.
Churn::Progress Churn::activeProgress(int64_t now)
{
    bool done = !active_.empty();
    for (uint64_t id : active_) {
        auto it = conns_.find(id);
        if (it == conns_.end()) {
            done = false;  // closed by the hub: already failed
            continue;
        }
        if (it->second->stage < 3) {
            done = false;
            if (now - activeSince_ > opt_.stallSeconds * 1000) {
                const Conn &c = *it->second;
                fail(c.name + ": no " + (c.stage <= 1 ? "slot number" : "echo of its line")
                     + " from the hub within " + std::to_string(int(opt_.stallSeconds)) + " s");
                return Progress::Stalled;
            }
        }
    }
    return done ? Progress::Done : Progress::Waiting;
}

// The cycle or group under way leaves; every tenth client by a reset.
void Churn::leaveActive(int64_t now)
{
    for (uint64_t id : active_)
        departing_.push_back(conns_[id]->name);
    if (active_.size() == 1) {
        drop(active_[0], seqInRound_ % 10 == 9);
        ++seqInRound_;
        ++cycles_;
    } else {
        std::shuffle(active_.begin(), active_.end(), rng_);
        for (size_t k = 0; k < active_.size(); ++k)
            drop(active_[k], k % 10 == 9);
        groupCycles_ += long(active_.size());
        ++groupsInRound_;
    }
    active_.clear();
    activeSince_ = now;
}

// The next short client of the round, or the next group; after the last group a new
// round begins.
void Churn::startNext(int64_t now)
{
    if (groupsInRound_ == kGroupsPerRound) {
        ++round_;
        seqInRound_ = 0;
        groupsInRound_ = 0;
    }
    activeSince_ = now;
    if (seqInRound_ < kCyclesPerRound) {
        char name[16];
        std::snprintf(name, sizeof name, "c%03d", seqInRound_);
        if (Conn *c = open(Kind::Churn, name))
            active_.push_back(c->id);
    } else {
        startGroup();
    }
}

void Churn::startGroup()
{
    active_.clear();
    for (int k = 0; k < kGroupSize; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "c%03d", kCyclesPerRound + k);
        if (Conn *c = open(Kind::Churn, name))
            active_.push_back(c->id);
    }
}

}  // namespace churn
