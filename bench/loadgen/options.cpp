// SPDX-License-Identifier: MIT
#include "options.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace loadgen {

const char *modeName(Mode mode)
{
    return mode == Mode::Lanchat ? "lanchat" : mode == Mode::Irc ? "irc" : "relay";
}

void usage()
{
    std::fprintf(stderr,
        "usage: loadgen --mode lanchat|irc|relay --port P [options]\n"
        "  --host ADDR           loopback address of the hub (127.x.x.x; default 127.0.0.1)\n"
        "  --clients N           clients to connect, 2..50 for lanchat, 2..99 otherwise (default 10)\n"
        "  --hub-pid PID         hub process for CPU and RSS figures (/proc/PID)\n"
        "  --hub-name NAME       lanchat: expected name list entry 0 (default hub; '' skips)\n"
        "  --channel NAME        irc: channel (default #bench)\n"
        "  --latency-lines K     lines for the fan-out latency phase (default 2000)\n"
        "  --warmup-lines K      unmeasured lines before it (default 50)\n"
        "  --window W            lines in flight in the throughput phase (default 64)\n"
        "  --seconds S           length of the throughput phase (default 5)\n"
        "  --total-lines T       then keep sending until T lines in all (default 0: off)\n"
        "  --total-max-seconds S bound on that phase (default 120)\n"
        "  --line-timeout S      a line not fanned out by then is lost (default 5)\n"
        "  --max-seconds S       bound on the whole run (default 900)\n"
        "  --turn MODE:PORT:PID  one more hub, of that mode, port and process; repeatable.\n"
        "                        Each hub gets its own N clients, and the hubs take turns\n"
        "                        one line each (latency phase only); figures of hub k\n"
        "                        (the first is --mode/--port) are keyed tK_\n");
}

namespace {

bool setMode(Options &o, const char *value)
{
    const std::string_view m = value;
    if (m == "lanchat")
        o.mode = Mode::Lanchat;
    else if (m == "irc")
        o.mode = Mode::Irc;
    else if (m == "relay")
        o.mode = Mode::Relay;
    else
        return false;
    return true;
}

bool addTurn(Options &o, const char *value)
{
    const std::string v = value;
    const size_t a = v.find(':');
    const size_t b = a == std::string::npos ? a : v.find(':', a + 1);
    if (b == std::string::npos)
        return false;
    Options probe;
    if (!setMode(probe, v.substr(0, a).c_str()))
        return false;
    o.turns.push_back({probe.mode, std::atoi(v.c_str() + a + 1), pid_t(std::atol(v.c_str() + b + 1))});
    return true;
}

// Every option takes a value; the setter returns false when the value is not one the
// option knows.
struct Setting {
    std::string_view name;
    bool (*set)(Options &, const char *);
};

const Setting kSettings[] = {
    {"--mode", setMode},
    {"--host", [](auto &o, auto v) { o.host = v; return true; }},
    {"--port", [](auto &o, auto v) { o.port = std::atoi(v); return true; }},
    {"--clients", [](auto &o, auto v) { o.clients = std::atoi(v); return true; }},
    {"--hub-pid", [](auto &o, auto v) { o.hubPid = pid_t(std::atol(v)); return true; }},
    {"--hub-name", [](auto &o, auto v) { o.hubName = v; return true; }},
    {"--channel", [](auto &o, auto v) { o.channel = v; return true; }},
    {"--latency-lines", [](auto &o, auto v) { o.latencyLines = std::atoi(v); return true; }},
    {"--warmup-lines", [](auto &o, auto v) { o.warmupLines = std::atoi(v); return true; }},
    {"--window", [](auto &o, auto v) { o.window = std::atoi(v); return true; }},
    {"--seconds", [](auto &o, auto v) { o.seconds = std::atof(v); return true; }},
    {"--total-lines", [](auto &o, auto v) { o.totalLines = std::atol(v); return true; }},
    {"--total-max-seconds", [](auto &o, auto v) { o.totalMaxSeconds = std::atof(v); return true; }},
    {"--line-timeout", [](auto &o, auto v) { o.lineTimeout = std::atof(v); return true; }},
    {"--max-seconds", [](auto &o, auto v) { o.maxSeconds = std::atof(v); return true; }},
    {"--turn", addTurn},
};

const Setting *findSetting(std::string_view name)
{
    for (const Setting &s : kSettings) {
        if (s.name == name)
            return &s;
    }
    return nullptr;
}

// Only loopback addresses, and values the run can work with.
bool validate(Options &o)
{
    if (o.host == "localhost")
        o.host = "127.0.0.1";
    in_addr addr{};
    if (inet_pton(AF_INET, o.host.c_str(), &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "loadgen: only loopback addresses (127.0.0.0/8) are allowed\n");
        return false;
    }
    bool lanchat = o.mode == Mode::Lanchat;
    for (const Turn &t : o.turns) {
        lanchat = lanchat || t.mode == Mode::Lanchat;
        if (t.port <= 0 || t.port > 65535)
            return false;
    }
    const int maxClients = lanchat ? 50 : 99;
    return !(o.port <= 0 || o.port > 65535 || o.clients < 2 || o.clients > maxClients
             || o.window < 1 || o.latencyLines < 0 || o.warmupLines < 0 || o.seconds < 0
             || o.maxSeconds <= 0);
}

}  // namespace

std::optional<Options> parseArgs(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "-h" || a == "--help") {
            usage();
            std::exit(0);
        }
        const Setting *s = findSetting(a);
        if (!s)
            return std::nullopt;
        if (i + 1 >= argc) {
            std::fprintf(stderr, "loadgen: %s needs a value\n", a.c_str());
            std::exit(2);
        }
        if (!s->set(o, argv[++i]))
            return std::nullopt;
    }
    if (!validate(o))
        return std::nullopt;
    return o;
}

}  // namespace loadgen
