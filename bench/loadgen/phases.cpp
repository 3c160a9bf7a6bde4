// SPDX-License-Identifier: MIT
// The run: registration, then the fan-out latency of single lines, the throughput
// with a window of lines in flight, optionally the long phase, and the final count.
#include "lines.h"
#include "loadgen.h"

#include <sys/epoll.h>

#include <cstdio>
#include <cstdlib>

namespace loadgen {

int LoadGen::run()
{
    const bool ok = start();
    if (ok)
        measure();
    return conclude(ok, "") ? 0 : 1;
}

bool LoadGen::start()
{
    runStart_ = bench::nowNs();
    runDeadline_ = runStart_ + secondsToNs(opt_.maxSeconds);
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    report_.put("mode", modeName(opt_.mode));
    report_.putI("clients", opt_.clients);
    putHubRss("hub_rss_start_kb");

    bool ok = registerAll();
    if (ok)
        ok = settleJoins();
    report_.put("register_seconds", double(bench::nowNs() - runStart_) / 1e9, 3);
    putHubRss("hub_rss_registered_kb");
    return ok;
}

bool LoadGen::conclude(bool ok, const std::string &keyPrefix)
{
    finish();
    putCounts();
    putOwnCost(runStart_);
    const bool pass = ok && err_.total() == 0;
    report_.put("result", pass ? "PASS" : "FAIL");
    report_.print(keyPrefix);
    printSummary(pass);
    return pass;
}

void LoadGen::measure()
{
    runLatency();
    runWindowed(opt_.seconds, 0, "tp_");
    putHubRss("hub_rss_after_kb");
    if (opt_.totalLines > sent_)
        runWindowed(0, opt_.totalLines, "total_");
    putHubRss("hub_rss_total_kb");
}

long LoadGen::sendLine()
{
    const long seq = ++sent_;
    if (seq >= 10'000'000L) {
        std::fprintf(stderr, "loadgen: sequence numbers exhausted\n");
        std::exit(2);
    }
    lines_.push_back(Line{bench::nowNs(), 0, 0});
    const std::string text = chatLine(0, seq);
    Client &s = clients_[0];
    if (opt_.mode == Mode::Irc)
        queue(s, "PRIVMSG " + opt_.channel + " :" + text + "\r\n");
    else
        queue(s, "_SendM " + text);
    return seq;
}

void LoadGen::runLatency()
{
    latUs_.reserve(size_t(opt_.latencyLines));
    for (int i = 0; i < latencyTotal() && latencyStep(i); ++i) {
    }
    endLatency();
}

bool LoadGen::latencyStep(int i)
{
    if (i == opt_.warmupLines) {
        latCpu0_ = readHub(opt_.hubPid);
        latDeliv0_ = deliveries_;
    }
    double lineUs = 0;
    if (!timeOneLine(lineUs))
        return ++latTimeouts_ < 3;
    if (i >= opt_.warmupLines)
        latUs_.push_back(lineUs);
    return true;
}

// Sends one line and waits until all the other clients have it: us is the time from
// the send until the last of them read it. False when the line timeout passed first.
bool LoadGen::timeOneLine(double &us)
{
    const long seq = sendLine();
    const int64_t sentNs = lines_[size_t(seq)].sentNs;
    if (!pumpUntil([&] { return lines_[size_t(seq)].doneNs != 0; },
                   bench::nowNs() + secondsToNs(opt_.lineTimeout))) {
        ++stuck_;
        std::fprintf(stderr, "loadgen: line %ld not fanned out within %.1f s\n", seq,
                     opt_.lineTimeout);
        return false;
    }
    us = double(lines_[size_t(seq)].doneNs - sentNs) / 1000.0;
    return true;
}

void LoadGen::endLatency()
{
    const std::vector<double> &us = latUs_;
    const HubSample &cpu0 = latCpu0_;
    const long deliv0 = latDeliv0_;
    const HubSample cpu1 = readHub(opt_.hubPid);
    report_.putI("lat_lines", long(us.size()));
    report_.put("lat_p50_us", percentile(us, 0.50));
    report_.put("lat_p99_us", percentile(us, 0.99));
    report_.put("lat_max_us", us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()));
    double sum = 0;
    for (double v : us)
        sum += v;
    report_.put("lat_mean_us", us.empty() ? 0.0 : sum / double(us.size()));
    const long d = deliveries_ - deliv0;
    if (cpu0.ok && cpu1.ok && d > 0)
        report_.put("lat_hub_cpu_ms_per_1k_deliveries",
                    (cpu1.cpuMs - cpu0.cpuMs) / (double(d) / 1000.0), 3);
}

// Keeps `window` lines in flight. Sends for `seconds` (when > 0) or until
// `untilTotal` lines have been sent in the whole run, then waits for the
// lines still in flight.
void LoadGen::runWindowed(double seconds, long untilTotal, const char *prefix)
{
    const std::string p(prefix);
    const std::string phase = p.substr(0, p.size() - 1);
    const HubSample cpu0 = readHub(opt_.hubPid);
    const long deliv0 = deliveries_;
    const long first = sent_ + 1;
    const int64_t t0 = bench::nowNs();
    const bool capped = keepWindowFull(
        t0 + secondsToNs(seconds > 0 ? seconds : opt_.totalMaxSeconds), untilTotal);
    const long last = sent_;
    const bool drained = pumpUntil([&] { return inFlight() == 0; },
                                   bench::nowNs() + secondsToNs(std::max(10.0, opt_.lineTimeout)));
    putWindowed(p, first, last, t0, cpu0, deliv0);
    if (capped) {
        report_.putI(p + "capped", 1);
        std::fprintf(stderr, "loadgen: %s phase stopped by its time bound at %ld lines\n",
                     phase.c_str(), sent_);
    }
    if (!drained)
        std::fprintf(stderr, "loadgen: %s phase: %ld lines still in flight after the drain\n",
                     phase.c_str(), inFlight());
}

// Sends until sendEnd, or until untilTotal lines in all (when > 0). True when the
// time ran out before that many were sent.
bool LoadGen::keepWindowFull(int64_t sendEnd, long untilTotal)
{
    while (bench::nowNs() < runDeadline_) {
        const bool more = untilTotal > 0 ? sent_ < untilTotal : true;
        if (!more)
            break;
        if (bench::nowNs() >= sendEnd)
            return untilTotal > 0;
        long room = opt_.window - inFlight();
        while (room-- > 0 && (untilTotal <= 0 || sent_ < untilTotal))
            sendLine();
        pump(1);
    }
    return false;
}

// The figures of a windowed phase, over the time from its start to the completion of
// its last line.
void LoadGen::putWindowed(const std::string &p, long first, long last, int64_t t0,
                          const HubSample &cpu0, long deliv0)
{
    int64_t tEnd = t0;
    long lineCount = 0;
    for (long s = first; s <= last; ++s) {
        if (lines_[size_t(s)].doneNs != 0) {
            tEnd = std::max(tEnd, lines_[size_t(s)].doneNs);
            ++lineCount;
        }
    }
    const HubSample cpu1 = readHub(opt_.hubPid);
    const double secs = double(tEnd - t0) / 1e9;
    const long d = deliveries_ - deliv0;
    report_.putI(p + "lines", last - first + 1);
    report_.put(p + "seconds", secs, 3);
    report_.put(p + "lines_per_s", secs > 0 ? double(lineCount) / secs : 0.0);
    report_.put(p + "deliveries_per_s", secs > 0 ? double(d) / secs : 0.0);
    if (cpu0.ok && cpu1.ok && d > 0) {
        report_.put(p + "hub_cpu_ms_per_1k_deliveries",
                    (cpu1.cpuMs - cpu0.cpuMs) / (double(d) / 1000.0), 3);
        report_.putI(p + "hub_rss_kb", cpu1.rssKb);
    }
}

void LoadGen::finish()
{
    // Let late bytes arrive, then take whatever is left as final.
    pumpUntil([&] {
        for (const auto &c : clients_)
            if (!c.closed && c.idx != 0 && c.nextSeq <= sent_)
                return false;
        return true;
    }, bench::nowNs() + secondsToNs(2));
    const int64_t quietEnd = bench::nowNs() + 100'000'000;
    while (bench::nowNs() < quietEnd)
        pump(10);
    for (auto &c : clients_) {
        if (opt_.mode != Mode::Irc)
            parseSegments(c, true);
        if (!c.in.empty())
            ++err_.cut;  // a partial line or message left over
    }
    const int others = opt_.clients - 1;
    for (long s = 1; s <= sent_; ++s)
        if (lines_[size_t(s)].got < others)
            err_.lost += others - lines_[size_t(s)].got;
    if (opt_.mode != Mode::Irc && !clients_.empty())
        err_.echoLost = sent_ - clients_[0].echoes;
}

}  // namespace loadgen
