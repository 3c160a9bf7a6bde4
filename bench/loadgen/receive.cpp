// SPDX-License-Identifier: MIT
// What the clients receive: the lanchat and relay wire cut into segments, IRC lines,
// and the checks of every chat line, name list entry and join notice.
#include "lines.h"
#include "loadgen.h"

#include <cstdio>
#include <cstdlib>

namespace loadgen {

// A client that connected while the hub was still announcing an earlier join may hear
// of that one too; only joins of clients registered after this one are counted.
bool LoadGen::isLaterClient(const Client &c, const std::string &who) const
{
    for (size_t i = size_t(c.idx) + 1; i < clients_.size(); ++i) {
        if (clients_[i].name == who)
            return true;
    }
    return false;
}

void LoadGen::deliver(Client &c, int sender, long seq)
{
    if (sender != 0) {  // only b01 sends
        ++err_.altered;
        return;
    }
    if (seq != c.nextSeq)
        ++err_.outOfOrder;
    c.nextSeq = std::max(c.nextSeq, seq + 1);
    if (c.idx == sender) {
        ++c.echoes;
        return;
    }
    Line &l = lines_[size_t(seq)];
    ++l.got;
    ++deliveries_;
    const int others = opt_.clients - 1;
    if (l.got == others) {
        l.doneNs = recvNs_;
        ++completed_;
    } else if (l.got > others) {
        ++err_.duplicate;
    }
}

void LoadGen::chatValue(Client &c, std::string_view v, bool complete, bool &consumed)
{
    int sender = -1;
    long seq = 0;
    const Check r = checkChat(v, opt_.clients, sent_, sender, seq);
    consumed = true;
    switch (r) {
    case Check::Ok:
        deliver(c, sender, seq);
        return;
    case Check::Bad:
        ++err_.altered;
        return;
    case Check::Incomplete:
        if (complete)
            ++err_.cut;
        else
            consumed = false;
        return;
    case Check::NotChat:
        break;
    }
    std::string who;
    if (isJoinNotice(v, who)) {
        // Counted once, when it is known to be whole: an incomplete one is seen again.
        // A client connected but not yet registered also hears of earlier clients' joins;
        // only those after its own registration count.
        if (!complete)
            consumed = false;
        else if (c.registered && isLaterClient(c, who))
            ++c.joinNotices;
        return;
    }
    if (complete)
        ++c.other;
    else
        consumed = false;
}

void LoadGen::checkRegistered(Client &c)
{
    if (c.registered || c.slot < 0 || c.names.size() < size_t(c.slot) + 1)
        return;
    c.registered = true;
    const bool good = c.slot == c.idx + 1 && c.names.back() == c.name
        && (opt_.hubName.empty() || c.names.front() == opt_.hubName);
    if (!good) {
        ++err_.registration;
        std::string list;
        for (const auto &n : c.names)
            list += " " + n;
        std::fprintf(stderr, "loadgen: %s: slot %d (expected %d), name list:%s\n", c.name.c_str(),
                     c.slot, c.idx + 1, list.c_str());
    }
}

// One segment runs from '_' to the next '_'. `complete` is false for the
// last segment in the buffer: it is taken only when its content shows that
// it is whole; otherwise it waits for more bytes.
bool LoadGen::handleSegment(Client &c, std::string_view seg, bool complete)
{
    if (seg.size() < 7 && !complete)
        return false;
    const std::string_view tag = seg.substr(0, 6);
    const std::string_view payload = seg.size() > 7 ? seg.substr(7) : std::string_view{};
    if (tag == "_SendM") {
        bool consumed = false;
        chatValue(c, payload, complete, consumed);
        return consumed;
    }
    if (tag == "_NameL")
        return nameEntry(c, payload, complete);
    if (tag == "_SdSck") {
        if (!complete)
            return false;  // always followed by the name list
        c.slot = std::atoi(std::string(payload).c_str());
        return true;
    }
    if (tag == "_Hello" && opt_.mode == Mode::Relay)
        return hello(c, payload, complete);
    if (!complete)
        return false;
    ++c.other;
    return true;
}

// A name list entry: part of the client's own list while it registers, afterwards the
// name of a client that joined.
bool LoadGen::nameEntry(Client &c, std::string_view name, bool complete)
{
    if (!complete && !isKnownName(name, opt_.hubName))
        return false;
    if (!c.registered && c.slot >= 0) {
        c.names.emplace_back(name);
        checkRegistered(c);
    } else if (c.registered && isLaterClient(c, std::string(name))) {
        ++c.laterNames;
    } else {
        ++c.other;
    }
    return true;
}

// The relay echoes hellos: the client's own registers it, any other is a later client's.
bool LoadGen::hello(Client &c, std::string_view name, bool complete)
{
    if (!complete && !isKnownName(name, opt_.hubName))
        return false;
    if (name == c.name)
        c.registered = true;
    else
        ++c.joinNotices;
    return true;
}

void LoadGen::parseSegments(Client &c, bool final)
{
    const std::string_view s(c.in);
    size_t pos = 0;
    while (pos < s.size()) {
        if (s[pos] != '_') {
            // Bytes after a whole line that do not begin a segment: the line
            // was longer than what was sent.
            ++err_.altered;
            const size_t e = s.find('_', pos);
            pos = e == std::string_view::npos ? s.size() : e;
            continue;
        }
        const size_t e = s.find('_', pos + 1);
        if (e != std::string_view::npos) {
            handleSegment(c, s.substr(pos, e - pos), true);
            pos = e;
            continue;
        }
        if (handleSegment(c, s.substr(pos), final))
            pos = s.size();
        break;
    }
    c.in.erase(0, pos);
}

void LoadGen::parseIrc(Client &c)
{
    size_t pos = 0;
    for (;;) {
        const size_t e = c.in.find('\n', pos);
        if (e == std::string::npos)
            break;
        size_t end = e;
        if (end > pos && c.in[end - 1] == '\r')
            --end;
        handleIrcLine(c, std::string_view(c.in).substr(pos, end - pos));
        pos = e + 1;
    }
    c.in.erase(0, pos);
}

void LoadGen::handleIrcLine(Client &c, std::string_view line)
{
    std::string_view rest = line;
    if (rest.starts_with(':')) {
        const size_t sp = rest.find(' ');
        rest = sp == std::string_view::npos ? std::string_view{} : rest.substr(sp + 1);
    }
    const size_t sp = rest.find(' ');
    const std::string_view cmd = rest.substr(0, sp);
    const std::string_view params = sp == std::string_view::npos ? std::string_view{} : rest.substr(sp + 1);
    if (cmd == "PRIVMSG") {
        const size_t colon = params.find(" :");
        bool consumed = false;
        if (colon == std::string_view::npos)
            ++err_.altered;
        else
            chatValue(c, params.substr(colon + 2), true, consumed);
    } else if (cmd == "PING") {
        queue(c, "PONG " + std::string(params) + "\r\n");
    } else if (cmd == "001") {
        c.welcomed = true;
        queue(c, "JOIN " + opt_.channel + "\r\n");
    } else if (cmd == "366") {
        c.registered = true;
    } else if (cmd == "JOIN") {
        if (c.registered)
            ++c.joinNotices;
    } else if (cmd == "ERROR" || (cmd.size() == 3 && (cmd[0] == '4' || cmd[0] == '5'))) {
        if (cmd != "422")  // no MOTD: harmless
            ircServerError(c, line);
    } else if (c.registered) {  // replies during registration are of no interest
        ++c.other;
    }
}

void LoadGen::ircServerError(Client &c, std::string_view line)
{
    ++err_.registration;
    std::fprintf(stderr, "loadgen: %s: server said: %.*s\n", c.name.c_str(), int(line.size()),
                 line.data());
}

}  // namespace loadgen
