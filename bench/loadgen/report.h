// SPDX-License-Identifier: MIT
// The run's figures: collected as key=value pairs in the order they are taken, printed
// one a line on stdout.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace loadgen {

class Report {
public:
    void put(const std::string &k, const std::string &v) { out_.emplace_back(k, v); }
    void put(const std::string &k, double v, int prec = 1);
    void putI(const std::string &k, long v) { put(k, std::to_string(v)); }
    // The value of a figure, "-" when it was not taken.
    std::string get(const std::string &k) const;
    // One figure a line, each key after the prefix.
    void print(const std::string &keyPrefix = {}) const;

private:
    std::vector<std::pair<std::string, std::string>> out_;
};

// The value at rank ceil(p * n) of the samples in ascending order; 0 without samples.
double percentile(std::vector<double> samples, double p);

}  // namespace loadgen
