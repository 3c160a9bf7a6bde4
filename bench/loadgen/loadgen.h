// SPDX-License-Identifier: MIT
// The load generator: N clients on one epoll set, registered one at a time; client b01
// sends numbered chat lines and every receiver checks each line it gets.
#pragma once

#include "common/common.h"
#include "hub.h"
#include "options.h"
#include "report.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace loadgen {

inline int64_t secondsToNs(double s) { return int64_t(s * 1e9); }

struct Errors {
    long cut = 0;          // a line ended early
    long altered = 0;      // bytes that differ from what was sent
    long outOfOrder = 0;   // sequence not strictly increasing by one at a receiver
    long lost = 0;         // deliveries that never arrived
    long duplicate = 0;    // a receiver got a line twice
    long echoLost = 0;     // lanchat/relay: the sender's own copies missing
    long closed = 0;       // connections the hub closed or that failed
    long registration = 0; // wrong slot, name list or join notices
    long total() const
    {
        return cut + altered + outOfOrder + lost + duplicate + echoLost + closed + registration;
    }
};

struct Client {
    int fd = -1;
    int idx = 0;
    std::string name;
    std::string in;
    bench::Outbox out;
    bool wantOut = false;
    bool closed = false;
    // registration
    bool registered = false;
    bool welcomed = false;  // irc: 001 seen
    int slot = -1;          // lanchat: "_SdSck"
    std::vector<std::string> names;
    long laterNames = 0;    // "_NameL" for clients that registered after this one
    long joinNotices = 0;   // join notices for later clients
    long other = 0;         // segments or lines of no interest
    // chat
    long nextSeq = 1;
    long echoes = 0;
};

struct Line {
    int64_t sentNs = 0;
    int64_t doneNs = 0;
    int got = 0;
};

class LoadGen {
public:
    explicit LoadGen(Options o) : opt_(std::move(o)) { lines_.resize(1); }
    int run();

    // The steps of a run, for hubs taking turns (turns.cpp). start() connects and
    // registers the clients; latencyStep(i) times the i-th line of the latency phase
    // (warm-up lines first), false once the phase has given up; endLatency() puts its
    // figures; conclude() takes the final count and prints the figures with every key
    // prefixed, and tells whether the run passed.
    bool start();
    int latencyTotal() const { return opt_.warmupLines + opt_.latencyLines; }
    bool latencyStep(int i);
    void endLatency();
    bool conclude(bool ok, const std::string &keyPrefix);

private:
    // connections (connections.cpp)
    bool connectClient(Client &c);
    void queue(Client &c, std::string_view data);
    void flush(Client &c);
    void watchOutput(Client &c, bool on);
    void closeClient(Client &c, const char *why);
    void pump(int timeoutMs);
    void onReadable(Client &c);
    template <class Pred> bool pumpUntil(Pred done, int64_t deadline);

    // receiving (receive.cpp)
    void parseSegments(Client &c, bool final);
    bool handleSegment(Client &c, std::string_view seg, bool complete);
    bool nameEntry(Client &c, std::string_view name, bool complete);
    bool hello(Client &c, std::string_view name, bool complete);
    void parseIrc(Client &c);
    void handleIrcLine(Client &c, std::string_view line);
    void ircServerError(Client &c, std::string_view line);
    void chatValue(Client &c, std::string_view v, bool complete, bool &consumed);
    void deliver(Client &c, int sender, long seq);
    bool isLaterClient(const Client &c, const std::string &who) const;
    void checkRegistered(Client &c);

    // registration (registration.cpp)
    bool registerAll();
    void sendRegistration(Client &c);
    bool settleJoins();
    bool joinsSeen() const;
    bool checkJoins();

    // the measured phases (phases.cpp)
    void measure();
    long sendLine();
    long inFlight() const { return sent_ - completed_ - stuck_; }
    void runLatency();
    bool timeOneLine(double &us);
    void runWindowed(double seconds, long untilTotal, const char *prefix);
    bool keepWindowFull(int64_t sendEnd, long untilTotal);
    void putWindowed(const std::string &p, long first, long last, int64_t t0,
                     const HubSample &cpu0, long deliv0);
    void finish();

    // the figures (report.cpp)
    void putHubRss(const char *key);
    void putCounts();
    void putOwnCost(int64_t t0);
    void printSummary(bool pass) const;

    Options opt_;
    int ep_ = -1;
    std::vector<Client> clients_;
    std::vector<Line> lines_;  // index: sequence number, from 1
    long sent_ = 0;
    long completed_ = 0;
    long stuck_ = 0;           // lines given up on by the latency phase
    long deliveries_ = 0;
    int64_t recvNs_ = 0;       // time of the read being parsed
    int64_t runStart_ = 0;
    int64_t runDeadline_ = 0;
    std::vector<double> latUs_;  // the latency phase's measured lines
    int latTimeouts_ = 0;
    HubSample latCpu0_;
    long latDeliv0_ = 0;
    Errors err_;
    Report report_;
};

// Several hubs measured in one run, taking turns line by line (--turn).
int runInTurns(const Options &first);

template <class Pred> bool LoadGen::pumpUntil(Pred done, int64_t deadline)
{
    deadline = std::min(deadline, runDeadline_);
    while (!done()) {
        const int64_t left = deadline - bench::nowNs();
        if (left <= 0)
            return done();
        pump(int(std::clamp<int64_t>(left / 1'000'000, 1, 100)));
    }
    return true;
}

}  // namespace loadgen
