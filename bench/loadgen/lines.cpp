// SPDX-License-Identifier: MIT
#include "lines.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace loadgen {

std::string clientName(int idx)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "b%02d", idx + 1);
    return buf;
}

std::string chatLine(int sender, long seq)
{
    char head[32];
    std::snprintf(head, sizeof head, "b%02d >> %0*ld ", sender + 1, kSeqDigits, seq);
    std::string s(head);
    s += kPhrases[size_t(seq) % kPhrases.size()];
    return s;
}

Check checkChat(std::string_view v, int clients, long sentSoFar, int &sender, long &seq)
{
    static constexpr std::string_view kArrow = " >> ";
    const size_t n = std::min(v.size(), kHeadLen);
    for (size_t k = 0; k < n; ++k) {
        const char ch = v[k];
        bool good;
        if (k == 0)
            good = ch == 'b';
        else if (k <= 2)
            good = ch >= '0' && ch <= '9';
        else if (k <= 6)
            good = ch == kArrow[k - 3];
        else if (k < kHeadLen - 1)
            good = ch >= '0' && ch <= '9';
        else
            good = ch == ' ';
        if (!good)
            return k < 7 ? Check::NotChat : Check::Bad;
    }
    if (v.size() < kHeadLen)
        return Check::Incomplete;
    sender = (v[1] - '0') * 10 + (v[2] - '0') - 1;
    seq = 0;
    for (size_t k = 7; k < 7 + kSeqDigits; ++k)
        seq = seq * 10 + (v[k] - '0');
    if (sender < 0 || sender >= clients || seq < 1 || seq > sentSoFar)
        return Check::Bad;
    const std::string_view phrase = kPhrases[size_t(seq) % kPhrases.size()];
    const std::string_view rest = v.substr(kHeadLen);
    if (rest == phrase)
        return Check::Ok;
    if (rest.size() < phrase.size() && phrase.substr(0, rest.size()) == rest)
        return Check::Incomplete;
    return Check::Bad;
}

bool isKnownName(std::string_view n, std::string_view hubName)
{
    if (!hubName.empty() && n == hubName)
        return true;
    return n.size() == 3 && n[0] == 'b' && std::isdigit(static_cast<unsigned char>(n[1]))
        && std::isdigit(static_cast<unsigned char>(n[2]));
}

bool isJoinNotice(std::string_view v, std::string &who)
{
    static constexpr std::string_view kHead = "*****\u3000";
    static constexpr std::string_view kMid = "さんが入室しました";
    static constexpr std::string_view kEnd1 = "\u3000*****";
    static constexpr std::string_view kEnd2 = "  *****";
    if (v.substr(0, kHead.size()) != kHead)
        return false;
    v.remove_prefix(kHead.size());
    std::string_view end;
    if (v.ends_with(kEnd1))
        end = kEnd1;
    else if (v.ends_with(kEnd2))
        end = kEnd2;
    else
        return false;
    v.remove_suffix(end.size());
    if (!v.ends_with(kMid))
        return false;
    v.remove_suffix(kMid.size());
    who = std::string(v);
    return true;
}

}  // namespace loadgen
