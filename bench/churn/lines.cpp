// SPDX-License-Identifier: MIT
#include "lines.h"

#include <algorithm>
#include <cstdio>

namespace churn {

std::string steadyLine(int sender, long seq)
{
    char head[32];
    std::snprintf(head, sizeof head, "s%02d >> %07ld ", sender + 1, seq);
    return head + std::string(kPhrases[size_t(seq) % kPhrases.size()]);
}

int steadySender(std::string_view seg)
{
    static constexpr std::string_view kShape = "_SendM s99 >> ";
    const size_t n = std::min(seg.size(), kShape.size());
    for (size_t k = 0; k < n; ++k) {
        const bool good = kShape[k] == '9' ? (seg[k] >= '0' && seg[k] <= '9') : seg[k] == kShape[k];
        if (!good)
            return -1;
    }
    if (seg.size() < kShape.size())
        return -2;
    return (seg[8] - '0') * 10 + (seg[9] - '0') - 1;
}

long steadySeq(std::string_view value)
{
    if (value.size() < 15 || value[14] != ' ')
        return 0;
    long seq = 0;
    for (size_t k = 7; k < 14; ++k) {
        if (value[k] < '0' || value[k] > '9')
            return 0;
        seq = seq * 10 + (value[k] - '0');
    }
    return seq;
}

}  // namespace churn
