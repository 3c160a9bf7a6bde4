// SPDX-License-Identifier: MIT
// The random mix: up to mixMax extra clients at a time, each of a kind chosen at
// random (chatting, unregistered, flooding, byte by byte, invalid UTF-8, a line far
// too long, never reading, silent), leaving after a random time by FIN or by reset.
#include "churn.h"
#include "lines.h"

#include <cstdio>

namespace churn {

namespace {

// A line of 100,000 characters, far more than the hub relays.
std::string overlongLine(const std::string &head)
{
    std::string big = head;
    for (int k = 0; k < 100000; ++k)
        big += k % 10 ? "w" : "あ";
    return big;
}

}  // namespace

void Churn::tickMix(int64_t now)
{
    int live = 0;
    std::vector<std::pair<uint64_t, bool>> leaving;
    for (auto &[id, cp] : conns_) {
        Conn &c = *cp;
        if (c.kind != Kind::Mix)
            continue;
        ++live;
        while (c.connected && c.planNext < c.plan.size() && c.plan[c.planNext].first <= now)
            send(c, c.plan[c.planNext++].second);
        // Leaves when its time is up, whatever it was doing, or once it has said all.
        if (now >= c.leaveAt || (c.planNext == c.plan.size() && !c.out.pending()
                                 && now - c.born > 2000))
            leaving.emplace_back(id, c.reset);
    }
    for (auto [id, reset] : leaving) {
        drop(id, reset);
        --live;
    }
    if (live < opt_.mixMax && now >= nextMix_) {
        spawnMix(now);
        nextMix_ = now + rnd(5, 400);
    }
}

void Churn::spawnMix(int64_t now)
{
    char nm[16];
    std::snprintf(nm, sizeof nm, "r%03ld", mixStarted_++ % 1000);
    const std::string name = nm;
    Conn *c = open(Kind::Mix, name);
    if (!c)
        return;
    const bool registers = rnd(0, 3) != 0;
    if (registers)
        c->plan.emplace_back(now, "_RqSck _Cnnct " + name);
    planMix(*c, "_SendM " + name + " >> ", now);
    setEvents(*c);
    c->leaveAt = now + rnd(20, 6000);
    c->reset = rnd(0, 1) == 1;
}

// What an extra client sends and when, from t on; head starts each of its lines.
void Churn::planMix(Conn &c, const std::string &head, int64_t t)
{
    auto at = [&](int64_t when, std::string bytes) { c.plan.emplace_back(when, std::move(bytes)); };
    switch (rnd(0, 6)) {
    case 0:  // chats now and then
        for (int k = rnd(1, 10); k > 0; --k)
            at(t += rnd(10, 300), head + std::string(kPhrases[size_t(k) % kPhrases.size()]));
        break;
    case 1:  // floods 200 lines, one send each
        for (int k = 1; k <= 200; ++k)
            at(t, head + "flood " + std::to_string(k));
        break;
    case 2: {  // byte by byte
        const std::string msg = head + "ばらばらに届く行";
        for (char ch : msg)
            at(t += rnd(0, 3), std::string(1, ch));
        break;
    }
    case 3:  // invalid UTF-8 in a line, and a character cut in two
        at(t += rnd(0, 50), head + "ab\xff\xfe\xc0\x80 cd \xed\xa0\x80 ef \xe3\x81");
        at(t += rnd(0, 50), "\x82 gh \xf8\x88\x80\x80\x80");
        break;
    case 4:  // a line far too long to be relayed
        at(t += rnd(0, 50), overlongLine(head));
        break;
    case 5:  // never reads what the hub sends
        c.reads = false;
        at(t += rnd(0, 100), head + "読まない");
        break;
    default:  // connects and says nothing
        break;
    }
}

}  // namespace churn
