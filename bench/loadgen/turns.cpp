// SPDX-License-Identifier: MIT
// Hubs measured together: each gets its own clients, and they take turns one line at a
// time, in an order drawn afresh for every round. Whatever the machine does meanwhile
// (the other core's wake-up, a neighbour's load, a busy host) then falls on all of them
// alike, where runs one after another each meet a machine of their own.
#include "loadgen.h"

#include <algorithm>
#include <memory>
#include <numeric>
#include <random>

namespace loadgen {

int runInTurns(const Options &first)
{
    std::vector<Options> each{first};
    for (const Turn &t : first.turns) {
        Options o = first;
        o.mode = t.mode;
        o.port = t.port;
        o.hubPid = t.hubPid;
        each.push_back(o);
    }
    std::vector<std::unique_ptr<LoadGen>> gens;
    std::vector<char> going;
    for (Options &o : each) {
        o.turns.clear();
        gens.push_back(std::make_unique<LoadGen>(o));
        going.push_back(gens.back()->start());
    }
    const std::vector<char> started = going;

    std::vector<size_t> order(gens.size());
    std::iota(order.begin(), order.end(), size_t(0));
    std::mt19937 draw(20261208);  // the same orders in every run
    for (int i = 0; i < gens.front()->latencyTotal(); ++i) {
        std::shuffle(order.begin(), order.end(), draw);
        for (const size_t g : order) {
            if (going[g])
                going[g] = gens[g]->latencyStep(i);
        }
    }

    bool pass = true;
    for (size_t g = 0; g < gens.size(); ++g) {
        if (started[g])
            gens[g]->endLatency();
        pass = gens[g]->conclude(started[g], "t" + std::to_string(g + 1) + "_") && pass;
    }
    return pass ? 0 : 1;
}

}  // namespace loadgen
