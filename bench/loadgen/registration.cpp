// SPDX-License-Identifier: MIT
// Registration: the clients connect and register one at a time, so the hub gives them
// slots 1 … N in order; then every client must hear of each one that came after it.
#include "lines.h"
#include "loadgen.h"

#include <cstdio>

namespace loadgen {

bool LoadGen::registerAll()
{
    clients_.resize(size_t(opt_.clients));
    for (int i = 0; i < opt_.clients; ++i) {
        clients_[size_t(i)].idx = i;
        clients_[size_t(i)].name = clientName(i);
    }
    for (auto &c : clients_) {
        if (!connectClient(c)) {
            ++err_.closed;
            return false;
        }
        sendRegistration(c);
        if (!pumpUntil([&] { return c.registered || c.closed; },
                       bench::nowNs() + secondsToNs(10))) {
            std::fprintf(stderr, "loadgen: %s: not registered within 10 s (slot %d, %zu names)\n",
                         c.name.c_str(), c.slot, c.names.size());
            ++err_.registration;
            return false;
        }
        if (c.closed)
            return false;
    }
    return true;
}

void LoadGen::sendRegistration(Client &c)
{
    switch (opt_.mode) {
    case Mode::Lanchat:
        // Two sends, as the real client does on connect.
        queue(c, "_RqSck ");
        queue(c, "_Cnnct " + c.name);
        break;
    case Mode::Relay:
        queue(c, "_Hello " + c.name);
        break;
    case Mode::Irc:
        queue(c, "NICK " + c.name + "\r\nUSER " + c.name + " 0 * :lanchat bench\r\n");
        break;
    }
}

// Every client sees each later one join: lanchat sends "_NameL" and a notice,
// ngircd a JOIN line. Wait for all of them, then for quiet.
bool LoadGen::settleJoins()
{
    // A lanchat join notice that ends what a client has read counts only once something
    // follows it (it might be cut), so the wait also ends when the hub has sent nothing
    // for 200 ms; checkJoins() then takes what is held as whole.
    pumpUntil([&] { return joinsSeen() || bench::nowNs() - recvNs_ >= 200'000'000; },
              bench::nowNs() + secondsToNs(5));
    // Quiet period: whatever else the hub sends on joins arrives now.
    const int64_t quietEnd = bench::nowNs() + 200'000'000;
    while (bench::nowNs() < quietEnd)
        pump(20);
    return opt_.mode == Mode::Relay || checkJoins();
}

bool LoadGen::joinsSeen() const
{
    if (opt_.mode == Mode::Relay)
        return true;
    for (const auto &c : clients_) {
        const long want = opt_.clients - 1 - c.idx;
        if (c.joinNotices < want)
            return false;
        if (opt_.mode == Mode::Lanchat && c.laterNames < want)
            return false;
    }
    return true;
}

// Each client heard exactly of the clients after it; what is left in a lanchat
// client's buffer is taken as whole first.
bool LoadGen::checkJoins()
{
    bool good = true;
    for (auto &c : clients_) {
        if (opt_.mode == Mode::Lanchat)
            parseSegments(c, true);
        const long want = opt_.clients - 1 - c.idx;
        const bool bad = c.joinNotices != want
            || (opt_.mode == Mode::Lanchat && c.laterNames != want);
        if (bad) {
            std::fprintf(stderr, "loadgen: %s: %ld join notices, %ld later names, expected %ld\n",
                         c.name.c_str(), c.joinNotices, c.laterNames, want);
            ++err_.registration;
            good = false;
        }
    }
    return good;
}

}  // namespace loadgen
