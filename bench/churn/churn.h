// SPDX-License-Identifier: MIT
// The churn driver: every client on one epoll set; steady clients, rounds of short
// clients, a random mix of extra clients and one client of long lines, while the hub's
// process is watched.
#pragma once

#include "common/common.h"
#include "options.h"

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace churn {

enum class Kind { Steady, Churn, Mix, Long };

struct Conn {
    uint64_t id = 0;
    int fd = -1;
    Kind kind = Kind::Mix;
    std::string name;
    bool connected = false;
    bool reads = true;
    const char *broken = nullptr;  // a send failed: handled after the current pass
    uint32_t events = 0;
    std::string in;
    bench::Outbox out;
    int64_t born = 0;
    // steady
    int steadyIdx = -1;
    bool gotSlot = false;
    // churn: 0 connecting, 1 waiting for the slot, 2 waiting for the echo, 3 done
    int stage = 0;
    bool reset = false;
    std::string expect;
    // mix: what to send and when, then when to leave
    std::vector<std::pair<int64_t, std::string>> plan;
    size_t planNext = 0;
    int64_t leaveAt = 0;
};

class Churn {
public:
    explicit Churn(Options o) : opt_(o), rng_(o.seed) {}
    int run();

private:
    // the run and its verdict (run.cpp)
    void runUntil(int64_t end);
    void windDown();
    void closeAll();
    int reportFailure(double runSeconds);
    void reportPass(double runSeconds, long midPeak, long lastPeak);

    // connections (connections.cpp)
    Conn *open(Kind kind, std::string name);
    void setEvents(Conn &c);
    void send(Conn &c, std::string_view data);
    void flush(Conn &c);
    void drop(uint64_t id, bool reset);
    void pump(int timeoutMs);
    void dropBroken();
    bool finishConnect(Conn &c);
    void onConnected(Conn &c);
    void onReadable(Conn &c);
    bool readInput(Conn &c);
    void onPeerClosed(Conn &c, const char *why);
    void fail(const std::string &why);
    int rnd(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }

    // steady clients (steady.cpp)
    void startSteady();
    void waitForSlot(uint64_t id);
    void parseSteady(Conn &c);
    bool steadySegment(Conn &c, std::string_view seg, bool whole);
    bool otherMessage(Conn &c, std::string_view seg, bool whole, bool cutSteady);
    bool steadyMessage(Conn &c, std::string_view seg, bool whole, int sender);
    void deliverSteady(Conn &r, int sender, long seq);
    void tickSteady(int64_t now);
    void checkSteadyStall(int64_t now);
    bool drainSteady(int64_t deadline);

    // churn rounds (rounds.cpp)
    enum class Progress { Waiting, Done, Stalled };
    void checkChurnReply(Conn &c);
    void tickChurn(int64_t now);
    Progress activeProgress(int64_t now);
    void leaveActive(int64_t now);
    void startNext(int64_t now);
    void startGroup();

    // the random mix (mix.cpp)
    void tickMix(int64_t now);
    void spawnMix(int64_t now);
    void planMix(Conn &c, const std::string &head, int64_t t);

    // long lines (longlines.cpp)
    void startLong();
    void checkLongEchoes(Conn &c);
    void tickLong(int64_t now);
    void sendLong(Conn &c, int64_t now);

    // the hub process (monitor.cpp)
    bool hubAlive() const;
    bool hubGone() const;
    long hubRssKb() const;
    void tickMonitor(int64_t now, bool force);
    void sampleRss(int64_t now);
    void printProgress(int64_t now) const;
    std::pair<long, long> checkRssLevel(double runSeconds);

    Options opt_;
    std::mt19937 rng_;
    int ep_ = -1;
    uint64_t nextId_ = 1;
    std::map<uint64_t, std::unique_ptr<Conn>> conns_;
    std::string failure_;
    int64_t t0_ = 0;

    // steady clients: conn ids, lines sent per sender with their send times,
    // next expected number per receiver and sender
    std::vector<uint64_t> steadyIds_;
    std::vector<std::vector<int64_t>> sentAt_;
    std::vector<std::vector<long>> next_;
    int64_t nextSteadySend_ = 0;
    int steadyTurn_ = 0;
    long linesChecked_ = 0;
    long foreignBytes_ = 0;

    // churn
    int round_ = 0;
    int seqInRound_ = 0;
    int groupsInRound_ = 0;
    std::vector<uint64_t> active_;  // the cycle, or the group, under way
    int64_t activeSince_ = 0;
    std::vector<std::string> departing_;  // gone, their departure not yet announced
    long cycles_ = 0;       // one after the other, done
    long groupCycles_ = 0;  // in groups, done
    long lineNo_ = 0;       // numbers the short clients' lines

    // mix
    long mixStarted_ = 0;
    long mixDropped_ = 0;
    int64_t nextMix_ = 0;

    // long lines
    uint64_t longId_ = 0;
    bool longDone_ = false;
    long longSent_ = 0, longBack_ = 0;
    int64_t longEnd_ = 0;
    std::vector<int64_t> longSentAt_;

    // hub
    std::vector<std::pair<double, long>> rss_;  // seconds, kB
    int64_t nextSample_ = 0, nextReport_ = 0, nextAliveCheck_ = 0;
};

}  // namespace churn
