// SPDX-License-Identifier: MIT
// The load generator's command line.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace loadgen {

enum class Mode { Lanchat, Irc, Relay };

const char *modeName(Mode mode);

// A further hub that takes turns with the first one, line by line (--turn).
struct Turn {
    Mode mode = Mode::Lanchat;
    int port = 0;
    pid_t hubPid = 0;
};

struct Options {
    Mode mode = Mode::Lanchat;
    std::string host = "127.0.0.1";
    int port = 0;
    int clients = 10;
    pid_t hubPid = 0;
    std::string hubName = "hub";     // lanchat: expected name list entry 0 ("" skips the check)
    std::string channel = "#bench";  // irc
    int latencyLines = 2000;
    int warmupLines = 50;
    int window = 64;
    double seconds = 5.0;
    long totalLines = 0;             // 0: no long phase
    double totalMaxSeconds = 120.0;  // bound on the long phase
    double lineTimeout = 5.0;        // a line not fanned out by then counts as lost
    double maxSeconds = 900.0;       // bound on the whole run
    std::vector<Turn> turns;         // with any: the latency phase only, hubs in turn
};

void usage();
// The options, or none when an option is unknown or a value out of range. Exits with
// status 2 when an option's value is missing, with 0 after --help.
std::optional<Options> parseArgs(int argc, char **argv);

}  // namespace loadgen
