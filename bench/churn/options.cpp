// SPDX-License-Identifier: MIT
#include "options.h"

#include "common/common.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace churn {

void usage()
{
    std::fprintf(stderr,
        "usage: churn PORT --minutes M [options]\n"
        "  --hub-pid PID         watch the hub process: its death and its memory (VmRSS)\n"
        "  --max-rss-mb N        fail when the hub's RSS passes N MB (default 0: no ceiling)\n"
        "  --rss-margin-mb N     growth allowed from the middle to the last third (default 16)\n"
        "  --steady N            steady clients, 2..9 (default 4)\n"
        "  --steady-every-ms N   each steady client sends a line this often (default 50)\n"
        "  --mix N               extra clients at a time (default 8; 0: none)\n"
        "  --no-churn            no churn rounds (with --mix 0: steady and long lines only)\n"
        "  --long-lines N        long lines sent at the start (default 10000; 0: none)\n"
        "  --long-chars N        characters in a long line (default 32000)\n"
        "  --long-seconds S      time bound of the long lines (default: a third of the run)\n"
        "  --stall-seconds S     no answer for this long means the hub stopped (default 10)\n"
        "  --seed N              random seed (default: from the clock)\n");
}

namespace {

// The options that take a value.
struct Setting {
    std::string_view name;
    void (*set)(Options &, const char *);
};

const Setting kSettings[] = {
    {"--minutes", [](auto &o, auto v) { o.minutes = std::atof(v); }},
    {"--hub-pid", [](auto &o, auto v) { o.hubPid = pid_t(std::atol(v)); }},
    {"--max-rss-mb", [](auto &o, auto v) { o.maxRssMb = std::atol(v); }},
    {"--rss-margin-mb", [](auto &o, auto v) { o.rssMarginMb = std::atol(v); }},
    {"--steady", [](auto &o, auto v) { o.steady = std::atoi(v); }},
    {"--steady-every-ms", [](auto &o, auto v) { o.steadyEveryMs = std::atoi(v); }},
    {"--mix", [](auto &o, auto v) { o.mixMax = std::atoi(v); }},
    {"--long-lines", [](auto &o, auto v) { o.longLines = std::atol(v); }},
    {"--long-chars", [](auto &o, auto v) { o.longChars = std::atoi(v); }},
    {"--long-seconds", [](auto &o, auto v) { o.longSeconds = std::atof(v); }},
    {"--stall-seconds", [](auto &o, auto v) { o.stallSeconds = std::atof(v); }},
    {"--seed", [](auto &o, auto v) { o.seed = unsigned(std::strtoul(v, nullptr, 10)); }},
};

const Setting *findSetting(std::string_view name)
{
    for (const Setting &s : kSettings) {
        if (s.name == name)
            return &s;
    }
    return nullptr;
}

bool valid(const Options &o)
{
    return !(o.port <= 0 || o.port > 65535 || o.minutes <= 0 || o.minutes > 24 * 60
             || o.steady < 2 || o.steady > 9 || o.steadyEveryMs < 1 || o.mixMax < 0
             || o.longChars < 32 || o.stallSeconds <= 0);
}

}  // namespace

std::optional<Options> parseArgs(int argc, char **argv)
{
    Options o;
    o.seed = unsigned(bench::nowMs());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (const Setting *s = findSetting(a)) {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            s->set(o, argv[++i]);
        } else if (a == "--no-churn") {
            o.churn = false;
        } else if (a[0] != '-' && o.port == 0) {
            o.port = std::atoi(a.c_str());
        } else {
            return std::nullopt;
        }
    }
    if (!valid(o))
        return std::nullopt;
    return o;
}

}  // namespace churn
