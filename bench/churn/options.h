// SPDX-License-Identifier: MIT
// The churn driver's command line.
#pragma once

#include <sys/types.h>

#include <optional>

namespace churn {

struct Options {
    int port = 0;
    double minutes = 0;
    pid_t hubPid = 0;
    int steady = 4;
    int steadyEveryMs = 50;
    int mixMax = 8;
    bool churn = true;
    long longLines = 10000;
    int longChars = 32000;
    double longSeconds = -1;  // default: up to a third of the run
    double stallSeconds = 10;
    long maxRssMb = 0;        // 0: no ceiling
    long rssMarginMb = 16;
    unsigned seed = 0;
};

void usage();
// The options, or none when an argument is unknown or a value out of range. Exits with
// status 2, after the usage, when an option's value is missing.
std::optional<Options> parseArgs(int argc, char **argv);

}  // namespace churn
