// SPDX-License-Identifier: MIT
// The steady clients: they stay the whole run, send numbered lines in turn, and each
// checks that it gets every steady client's lines whole and in order.
#include "churn.h"
#include "lines.h"

#include <algorithm>

namespace churn {

// The steady clients register first, one at a time, and stay.
void Churn::startSteady()
{
    sentAt_.assign(size_t(opt_.steady), {});
    next_.assign(size_t(opt_.steady), std::vector<long>(size_t(opt_.steady), 1));
    for (int k = 0; k < opt_.steady && failure_.empty(); ++k) {
        Conn *c = open(Kind::Steady, "s0" + std::to_string(k + 1));
        if (!c)
            break;
        c->steadyIdx = k;
        steadyIds_.push_back(c->id);
        waitForSlot(c->id);
    }
}

void Churn::waitForSlot(uint64_t id)
{
    const int64_t deadline = bench::nowMs() + int64_t(opt_.stallSeconds * 1000);
    while (failure_.empty() && conns_.count(id) && !conns_[id]->gotSlot
           && bench::nowMs() < deadline)
        pump(10);
    if (failure_.empty() && !conns_[id]->gotSlot)
        fail(conns_[id]->name + ": no slot number from the hub");
}

// Cuts the stream at each '_' as the hub's clients do. Raw text the hub relays from
// other clients (not starting with '_') may follow any message; it is skipped. A steady
// line must be exactly what was sent; the last one in the buffer waits for its bytes.
void Churn::parseSteady(Conn &c)
{
    const std::string_view s(c.in);
    size_t pos = 0;
    while (pos < s.size() && failure_.empty()) {
        if (s[pos] != '_') {
            const size_t e = s.find('_', pos);
            const size_t end = e == std::string_view::npos ? s.size() : e;
            foreignBytes_ += long(end - pos);
            pos = end;
            continue;
        }
        const size_t e = s.find('_', pos + 1);
        const bool whole = e != std::string_view::npos;
        const std::string_view seg = s.substr(pos, whole ? e - pos : std::string_view::npos);
        if (!steadySegment(c, seg, whole))
            break;
        pos += seg.size();
    }
    c.in.erase(0, pos);
}

// One message, from its '_' up to the next one when whole, else up to the end of what
// has come. False when it must wait for more bytes, or is damaged.
bool Churn::steadySegment(Conn &c, std::string_view seg, bool whole)
{
    const int sender = steadySender(seg);
    if (sender == -2 && !whole)
        return false;
    if (sender < 0)
        return otherMessage(c, seg, whole, sender == -2);
    return steadyMessage(c, seg, whole, sender);
}

// Another kind of message, or a steady line cut short (cutSteady). The slot number
// ends a steady client's registration; the first steady client follows the departures
// of the short clients.
bool Churn::otherMessage(Conn &c, std::string_view seg, bool whole, bool cutSteady)
{
    if (seg.starts_with("_SdSck"))
        c.gotSlot = true;
    const bool clsck = seg.size() >= 7 ? seg.starts_with("_Clsck ")
                                       : std::string_view("_Clsck ").starts_with(seg);
    if (clsck && c.steadyIdx == 0) {
        if (!whole && seg.size() < 11)
            return false;
        std::erase(departing_, seg.substr(7, 4));
    }
    if (cutSteady)
        fail(c.name + ": a steady line cut short: '" + std::string(seg) + "'");
    return true;
}

bool Churn::steadyMessage(Conn &c, std::string_view seg, bool whole, int sender)
{
    const std::string_view value = seg.substr(7);
    if (value.size() < 15 && !whole)
        return false;
    const long seq = steadySeq(value);
    if (sender >= opt_.steady || seq < 1 || seq > long(sentAt_[size_t(sender)].size())) {
        fail(c.name + ": damaged steady line: '" + std::string(value.substr(0, 80)) + "'");
        return false;
    }
    const std::string expect = steadyLine(sender, seq);
    if (value.size() < expect.size()) {
        if (!whole && expect.starts_with(value))
            return false;  // the rest is on its way
        fail(c.name + ": steady line " + expect.substr(0, 14) + " cut or damaged: '"
             + std::string(value) + "'");
        return false;
    }
    if (value.substr(0, expect.size()) != expect) {
        fail(c.name + ": steady line " + expect.substr(0, 14) + " damaged: '"
             + std::string(value.substr(0, expect.size())) + "'");
        return false;
    }
    foreignBytes_ += long(value.size() - expect.size());
    deliverSteady(c, sender, seq);
    return true;
}

void Churn::deliverSteady(Conn &r, int sender, long seq)
{
    long &want = next_[size_t(r.steadyIdx)][size_t(sender)];
    if (seq != want) {
        fail(r.name + ": line " + std::to_string(seq) + " of s" + (sender < 9 ? "0" : "")
             + std::to_string(sender + 1) + " came when " + std::to_string(want)
             + " was due (" + (seq > want ? "lost" : "reordered or duplicated") + ")");
        return;
    }
    ++want;
    ++linesChecked_;
}

void Churn::tickSteady(int64_t now)
{
    // One line every steadyEveryMs from each sender, in turn.
    const int64_t step = std::max(1, opt_.steadyEveryMs / opt_.steady);
    if (now < nextSteadySend_)
        return;
    nextSteadySend_ = now + step;
    const int j = steadyTurn_;
    steadyTurn_ = (steadyTurn_ + 1) % opt_.steady;
    auto it = conns_.find(steadyIds_[size_t(j)]);
    if (it == conns_.end())
        return;
    auto &sent = sentAt_[size_t(j)];
    sent.push_back(now);
    send(*it->second, "_SendM " + steadyLine(j, long(sent.size())));
    checkSteadyStall(now);
}

// A line that has not reached every steady client within the stall time: the hub
// has stopped answering.
void Churn::checkSteadyStall(int64_t now)
{
    for (int r = 0; r < opt_.steady; ++r) {
        for (int s = 0; s < opt_.steady; ++s) {
            const long want = next_[size_t(r)][size_t(s)];
            const auto &at = sentAt_[size_t(s)];
            if (want <= long(at.size()) && now - at[size_t(want - 1)] > opt_.stallSeconds * 1000) {
                fail("s0" + std::to_string(r + 1) + " has not had line " + std::to_string(want)
                     + " of s0" + std::to_string(s + 1) + " for "
                     + std::to_string(int(opt_.stallSeconds)) + " s: the hub stopped answering");
                return;
            }
        }
    }
}

// Waits until every steady client has every steady line.
bool Churn::drainSteady(int64_t deadline)
{
    for (;;) {
        bool all = true;
        for (int r = 0; r < opt_.steady; ++r)
            for (int s = 0; s < opt_.steady; ++s)
                all = all && next_[size_t(r)][size_t(s)] == long(sentAt_[size_t(s)].size()) + 1;
        if (all || !failure_.empty())
            return all;
        if (bench::nowMs() >= deadline)
            return false;
        pump(10);
    }
}

}  // namespace churn
