// SPDX-License-Identifier: MIT
// loadgen: a one-thread epoll load generator for the lanchat hub and for the
// two reference servers the hub is compared with (bench/relay and ngircd).
//
// It connects N clients to a loopback address, registers them one at a time,
// lets client b01 send numbered Japanese chat lines and checks every line each
// receiver gets. It measures fan-out latency, throughput, and the hub's CPU
// time and resident memory (from /proc of the hub pid given on the command
// line). Figures go to stdout as key=value lines, a summary to stderr.
// Any line cut, altered, out of sequence or lost makes the run fail (exit 1).
// With --turn, several hubs are measured in one run, taking turns line by line.

#include "lines.h"
#include "loadgen.h"
#include "options.h"

#include <cstdio>

int main(int argc, char **argv)
{
    for (auto p : loadgen::kPhrases) {
        if (p.find('_') != std::string_view::npos) {
            std::fprintf(stderr, "loadgen: chat phrase contains '_'\n");
            return 2;
        }
    }
    auto o = loadgen::parseArgs(argc, argv);
    if (!o) {
        loadgen::usage();
        return 2;
    }
    if (!o->turns.empty())
        return loadgen::runInTurns(*o);
    loadgen::LoadGen g(std::move(*o));
    return g.run();
}
