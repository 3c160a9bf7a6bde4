// SPDX-License-Identifier: MIT
// churn: a soak driver for the lanchat hub (one thread, epoll, plain POSIX sockets).
//
// Against 127.0.0.1:PORT, until the time is up, it keeps
// - a few steady clients that stay the whole run, each sending a numbered chat line
//   now and then and checking that it gets every steady client's lines whole and in
//   order;
// - rounds of connection churn: 200 short clients one after the other (connect,
//   register, one line, wait for its echo, leave; every tenth leaves by a reset), then
//   groups of 20 that connect at once and leave in a shuffled order;
// - a random mix of extra clients: chatting, flooding, sending byte by byte, invalid
//   UTF-8, a 100,000-character line, never reading, leaving by FIN or by reset;
// - before all that, one client sending long lines (32,000 characters), for the hub's
//   memory bound.
// With --hub-pid it watches the hub's process and resident memory. It fails when the
// hub dies or stops answering, a steady line is lost, reordered or damaged, or the
// hub's memory keeps growing or passes the ceiling. Exit status 0 on PASS, 1 on FAIL.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace {

int64_t nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000;
}

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

// Chat texts: none contains '_', which starts a new message on the wire.
constexpr std::array<std::string_view, 4> kPhrases = {
    "こんにちは、テストです", "今日はいい天気ですね。", "了解しました！　また後で",
    "ｶﾀｶﾅ・漢字・ABC 123 の混在"};

// A steady line: "sNN >> " + 7-digit number + " " + a text chosen by the number.
std::string steadyLine(int sender, long seq)
{
    char head[32];
    std::snprintf(head, sizeof head, "s%02d >> %07ld ", sender + 1, seq);
    return head + std::string(kPhrases[size_t(seq) % kPhrases.size()]);
}

enum class Kind { Steady, Churn, Mix, Long };

struct Conn {
    uint64_t id = 0;
    int fd = -1;
    Kind kind = Kind::Mix;
    std::string name;
    bool connected = false;
    bool reads = true;
    const char *broken = nullptr;  // a send failed: handled after the current pass
    uint32_t events = 0;
    std::string in, out;
    size_t outOff = 0;
    int64_t born = 0;
    // steady
    int steadyIdx = -1;
    bool gotSlot = false;
    // churn: 0 connecting, 1 waiting for the slot, 2 waiting for the echo, 3 done
    int stage = 0;
    bool reset = false;
    std::string expect;
    // mix: what to send and when, then when to leave
    std::vector<std::pair<int64_t, std::string>> plan;
    size_t planNext = 0;
    int64_t leaveAt = 0;
};

class Churn {
public:
    explicit Churn(Options o) : opt_(o), rng_(o.seed) {}
    int run();

private:
    Conn *open(Kind kind, std::string name);
    void setEvents(Conn &c);
    void send(Conn &c, std::string_view data);
    void flush(Conn &c);
    void drop(uint64_t id, bool reset);
    void pump(int timeoutMs);
    void onConnected(Conn &c);
    void onReadable(Conn &c);
    void onPeerClosed(Conn &c, const char *why);
    void fail(const std::string &why);

    void parseSteady(Conn &c);
    void deliverSteady(Conn &r, int sender, long seq);
    void checkChurnReply(Conn &c);
    void checkLongEchoes(Conn &c);

    void tickSteady(int64_t now);
    void tickChurn(int64_t now);
    void startGroup();
    void tickMix(int64_t now);
    void spawnMix(int64_t now);
    void tickLong(int64_t now);
    void tickMonitor(int64_t now, bool force);
    bool hubAlive() const;
    long hubRssKb() const;
    bool drainSteady(int64_t deadline);

    Options opt_;
    std::mt19937 rng_;
    int ep_ = -1;
    uint64_t nextId_ = 1;
    std::map<uint64_t, std::unique_ptr<Conn>> conns_;
    std::string failure_;
    int64_t t0_ = 0;

    // steady clients: conn ids, lines sent per sender with their send times,
    // next expected number per receiver and sender
    std::vector<uint64_t> steadyIds_;
    std::vector<std::vector<int64_t>> sentAt_;
    std::vector<std::vector<long>> next_;
    int64_t nextSteadySend_ = 0;
    int steadyTurn_ = 0;
    long linesChecked_ = 0;
    long foreignBytes_ = 0;

    // churn
    int round_ = 0;
    int seqInRound_ = 0;
    int groupsInRound_ = 0;
    std::vector<uint64_t> active_;  // the cycle, or the group, under way
    int64_t activeSince_ = 0;
    std::vector<std::string> departing_;  // gone, their departure not yet announced
    long cycles_ = 0;       // one after the other, done
    long groupCycles_ = 0;  // in groups, done
    long lineNo_ = 0;       // numbers the short clients' lines

    // mix
    long mixStarted_ = 0;
    long mixDropped_ = 0;
    int64_t nextMix_ = 0;

    // long lines
    uint64_t longId_ = 0;
    bool longDone_ = false;
    long longSent_ = 0, longBack_ = 0;
    int64_t longEnd_ = 0;
    std::vector<int64_t> longSentAt_;

    // hub
    std::vector<std::pair<double, long>> rss_;  // seconds, kB
    int64_t nextSample_ = 0, nextReport_ = 0, nextAliveCheck_ = 0;
};

void Churn::fail(const std::string &why)
{
    if (failure_.empty())
        failure_ = why;
}

Conn *Churn::open(Kind kind, std::string name)
{
    auto c = std::make_unique<Conn>();
    c->id = nextId_++;
    c->kind = kind;
    c->name = std::move(name);
    c->born = nowMs();
    c->fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) {
        fail(std::string("socket: ") + std::strerror(errno));
        return nullptr;
    }
    int one = 1;
    setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(opt_.port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int r = connect(c->fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
    if (r != 0 && errno != EINPROGRESS) {
        fail(c->name + ": connect: " + std::strerror(errno));
        ::close(c->fd);
        return nullptr;
    }
    epoll_event ev{};
    ev.data.u64 = c->id;
    epoll_ctl(ep_, EPOLL_CTL_ADD, c->fd, &ev);
    Conn *p = c.get();
    conns_[p->id] = std::move(c);
    if (r == 0)
        onConnected(*p);
    else
        setEvents(*p);
    return p;
}

void Churn::setEvents(Conn &c)
{
    uint32_t want = c.reads ? uint32_t(EPOLLIN) : 0;
    if (!c.connected || c.outOff < c.out.size())
        want |= EPOLLOUT;
    if (want == c.events)
        return;
    c.events = want;
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = c.id;
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
}

// One send() per call when nothing waits, so the hub sees the message boundaries a
// real client makes; what the socket does not take waits for EPOLLOUT.
void Churn::send(Conn &c, std::string_view data)
{
    if (!c.connected || c.outOff < c.out.size()) {
        c.out.append(data);
        return;
    }
    c.out.clear();
    c.outOff = 0;
    const ssize_t n = ::send(c.fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n == ssize_t(data.size()))
        return;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        c.broken = std::strerror(errno);
        return;
    }
    c.out.assign(data.substr(n > 0 ? size_t(n) : 0));
    setEvents(c);
}

void Churn::flush(Conn &c)
{
    while (c.outOff < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.broken = std::strerror(errno);
            return;
        }
        c.outOff += size_t(n);
    }
    c.out.clear();
    c.outOff = 0;
    setEvents(c);
}

// Leaves: an orderly close (FIN), or with a zero linger a reset (RST).
void Churn::drop(uint64_t id, bool reset)
{
    auto it = conns_.find(id);
    if (it == conns_.end())
        return;
    Conn &c = *it->second;
    if (reset) {
        linger lg{1, 0};
        setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    }
    epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    conns_.erase(it);
}

void Churn::onConnected(Conn &c)
{
    c.connected = true;
    setEvents(c);
    switch (c.kind) {
    case Kind::Steady:
        send(c, "_RqSck ");
        send(c, "_Cnnct " + c.name);
        break;
    case Kind::Churn:
    case Kind::Long:
        send(c, "_RqSck _Cnnct " + c.name);
        c.stage = 1;
        break;
    case Kind::Mix:
        break;
    }
    flush(c);
}

// The hub closed a connection. Steady, churn and long-line clients read all the time
// and keep to the bounds, so the hub has no reason to: it is a failure. Extra clients
// may be dropped (one that does not read, for instance).
void Churn::onPeerClosed(Conn &c, const char *why)
{
    if (c.kind == Kind::Mix) {
        ++mixDropped_;
        drop(c.id, false);
        return;
    }
    fail(c.name + ": connection closed by the hub (" + why + ")");
    drop(c.id, false);
}

void Churn::onReadable(Conn &c)
{
    static char buf[256 * 1024];
    for (int round = 0; round < 16; ++round) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n == 0) {
            onPeerClosed(c, "end of stream");
            return;
        }
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
                break;
            onPeerClosed(c, std::strerror(errno));
            return;
        }
        if (c.kind != Kind::Mix)
            c.in.append(buf, size_t(n));
        if (size_t(n) < sizeof buf)
            break;
    }
    switch (c.kind) {
    case Kind::Steady:
        parseSteady(c);
        break;
    case Kind::Churn:
        checkChurnReply(c);
        break;
    case Kind::Long:
        checkLongEchoes(c);
        break;
    case Kind::Mix:
        break;
    }
}

void Churn::pump(int timeoutMs)
{
    std::vector<uint64_t> broken;
    for (auto &[id, c] : conns_)
        if (c->broken)
            broken.push_back(id);
    for (uint64_t id : broken)
        onPeerClosed(*conns_[id], conns_[id]->broken);

    epoll_event evs[64];
    const int n = epoll_wait(ep_, evs, 64, timeoutMs);
    for (int i = 0; i < n; ++i) {
        auto it = conns_.find(evs[i].data.u64);
        if (it == conns_.end())
            continue;
        Conn &c = *it->second;
        const uint64_t id = c.id;
        if (!c.connected) {
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                fail(c.name + ": connect: " + std::strerror(err));
                drop(id, false);
                continue;
            }
            onConnected(c);
            if (!conns_.count(id))
                continue;
        }
        if (evs[i].events & EPOLLOUT)
            flush(c);
        if (!conns_.count(id))
            continue;
        if (c.reads && (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            onReadable(c);
        else if (!c.reads && (evs[i].events & (EPOLLHUP | EPOLLERR)))
            onPeerClosed(c, "reset");
    }
}

// --- steady clients -------------------------------------------------------------------

// Whether a segment is a steady line: "_SendM s" + 2 digits + " >> ". Returns the
// sender, -1 when it is not one, -2 when it is too short to tell.
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
        const int sender = steadySender(seg);
        if (sender == -2 && !whole)
            break;
        if (sender < 0) {  // another kind of message, or cut short
            if (seg.starts_with("_SdSck"))
                c.gotSlot = true;
            // The first steady client follows the departures of the short clients.
            const bool clsck = seg.size() >= 7 ? seg.starts_with("_Clsck ")
                                               : std::string_view("_Clsck ").starts_with(seg);
            if (clsck && c.steadyIdx == 0) {
                if (!whole && seg.size() < 11)
                    break;
                std::erase(departing_, seg.substr(7, 4));
            }
            if (sender == -2)
                fail(c.name + ": a steady line cut short: '" + std::string(seg) + "'");
            pos += seg.size();
            continue;
        }
        const std::string_view value = seg.substr(7);
        if (value.size() < 15 && !whole)
            break;
        long seq = 0;
        bool digits = value.size() >= 15 && value[14] == ' ';
        for (size_t k = 7; digits && k < 14; ++k) {
            digits = value[k] >= '0' && value[k] <= '9';
            seq = seq * 10 + (value[k] - '0');
        }
        if (!digits || sender >= opt_.steady || seq < 1 || seq > long(sentAt_[size_t(sender)].size())) {
            fail(c.name + ": damaged steady line: '" + std::string(value.substr(0, 80)) + "'");
            break;
        }
        const std::string expect = steadyLine(sender, seq);
        if (value.size() < expect.size()) {
            if (!whole && expect.starts_with(value))
                break;  // the rest is on its way
            fail(c.name + ": steady line " + expect.substr(0, 14) + " cut or damaged: '"
                 + std::string(value) + "'");
            break;
        }
        if (value.substr(0, expect.size()) != expect) {
            fail(c.name + ": steady line " + expect.substr(0, 14) + " damaged: '"
                 + std::string(value.substr(0, expect.size())) + "'");
            break;
        }
        foreignBytes_ += long(value.size() - expect.size());
        deliverSteady(c, sender, seq);
        pos += seg.size();
    }
    c.in.erase(0, pos);
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
    // A line that has not reached every steady client within the stall time: the hub
    // has stopped answering.
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
        if (nowMs() >= deadline)
            return false;
        pump(10);
    }
}

// --- churn rounds ---------------------------------------------------------------------

constexpr int kCyclesPerRound = 200;
constexpr int kGroupSize = 20;
constexpr int kGroupsPerRound = 10;

// A short client waits for its slot, sends one line, waits for the line's echo.
void Churn::checkChurnReply(Conn &c)
{
    for (;;) {
        const std::string_view want = c.stage == 1 ? std::string_view("_SdSck ") : c.expect;
        const size_t p = c.stage >= 3 ? std::string::npos : c.in.find(want);
        if (p == std::string::npos) {
            // Keep only what could still be the start of the awaited text.
            if (c.in.size() > want.size())
                c.in.erase(0, c.in.size() - want.size());
            return;
        }
        c.in.erase(0, p + want.size());
        if (c.stage == 1) {
            c.expect = "_SendM " + c.name + " >> x " + std::to_string(++lineNo_);
            send(c, c.expect);
            c.stage = 2;
        } else {
            c.stage = 3;
            return;
        }
    }
}

void Churn::startGroup()
{
    active_.clear();
    for (int k = 0; k < kGroupSize; ++k) {
        char name[16];
        std::snprintf(name, sizeof name, "c%03d", kCyclesPerRound + k);
        if (Conn *c = open(Kind::Churn, name))
            active_.push_back(c->id);
    }
}

void Churn::tickChurn(int64_t now)
{
    bool done = !active_.empty();
    for (uint64_t id : active_) {
        auto it = conns_.find(id);
        if (it == conns_.end()) {
            done = false;  // closed by the hub: already failed
            continue;
        }
        if (it->second->stage < 3) {
            done = false;
            if (now - activeSince_ > opt_.stallSeconds * 1000) {
                const Conn &c = *it->second;
                fail(c.name + ": no " + (c.stage <= 1 ? "slot number" : "echo of its line")
                     + " from the hub within " + std::to_string(int(opt_.stallSeconds)) + " s");
                return;
            }
        }
    }
    if (done) {
        for (uint64_t id : active_)
            departing_.push_back(conns_[id]->name);
        if (active_.size() == 1) {
            drop(active_[0], seqInRound_ % 10 == 9);
            ++seqInRound_;
            ++cycles_;
        } else {
            std::shuffle(active_.begin(), active_.end(), rng_);
            for (size_t k = 0; k < active_.size(); ++k)
                drop(active_[k], k % 10 == 9);
            groupCycles_ += long(active_.size());
            ++groupsInRound_;
        }
        active_.clear();
        activeSince_ = now;
    }
    if (!active_.empty())
        return;
    // The next clients come once the hub has announced these departures: it keeps at
    // most 50 clients, and refuses more, however quickly the others leave.
    if (!departing_.empty()) {
        if (now - activeSince_ > opt_.stallSeconds * 1000)
            fail("the departure of " + departing_.front() + " was not announced within "
                 + std::to_string(int(opt_.stallSeconds)) + " s");
        return;
    }
    if (groupsInRound_ == kGroupsPerRound) {
        ++round_;
        seqInRound_ = 0;
        groupsInRound_ = 0;
    }
    activeSince_ = now;
    if (seqInRound_ < kCyclesPerRound) {
        char name[16];
        std::snprintf(name, sizeof name, "c%03d", seqInRound_);
        if (Conn *c = open(Kind::Churn, name))
            active_.push_back(c->id);
    } else {
        startGroup();
    }
}

// --- the random mix -------------------------------------------------------------------

void Churn::spawnMix(int64_t now)
{
    char nm[16];
    std::snprintf(nm, sizeof nm, "r%03ld", mixStarted_++ % 1000);
    const std::string name = nm;
    Conn *c = open(Kind::Mix, name);
    if (!c)
        return;
    auto rnd = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); };
    const bool registers = rnd(0, 3) != 0;
    int64_t t = now;
    auto at = [&](int64_t when, std::string bytes) { c->plan.emplace_back(when, std::move(bytes)); };
    if (registers)
        at(t, "_RqSck _Cnnct " + name);
    const std::string head = "_SendM " + name + " >> ";
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
    case 4: {  // a line far too long to be relayed
        std::string big = head;
        for (int k = 0; k < 100000; ++k)
            big += k % 10 ? "w" : "あ";
        at(t += rnd(0, 50), std::move(big));
        break;
    }
    case 5:  // never reads what the hub sends
        c->reads = false;
        at(t += rnd(0, 100), head + "読まない");
        break;
    default:  // connects and says nothing
        break;
    }
    setEvents(*c);
    c->leaveAt = now + rnd(20, 6000);
    c->reset = rnd(0, 1) == 1;
}

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
        if (now >= c.leaveAt || (c.planNext == c.plan.size() && c.outOff == c.out.size()
                                 && now - c.born > 2000))
            leaving.emplace_back(id, c.reset);
    }
    for (auto [id, reset] : leaving) {
        drop(id, reset);
        --live;
    }
    if (live < opt_.mixMax && now >= nextMix_) {
        spawnMix(now);
        nextMix_ = now + std::uniform_int_distribution<int>(5, 400)(rng_);
    }
}

// --- long lines -----------------------------------------------------------------------

void Churn::checkLongEchoes(Conn &c)
{
    for (;;) {
        if (longBack_ >= longSent_) {
            c.in.clear();
            return;
        }
        char head[40];
        std::snprintf(head, sizeof head, "_SendM %s >> %07ld ", c.name.c_str(), longBack_ + 1);
        const size_t p = c.in.find(head);
        if (p == std::string::npos) {
            const size_t keep = std::strlen(head);
            if (c.in.size() > keep)
                c.in.erase(0, c.in.size() - keep);
            return;
        }
        c.in.erase(0, p + std::strlen(head));
        ++longBack_;
    }
}

void Churn::tickLong(int64_t now)
{
    if (longDone_)
        return;
    auto it = conns_.find(longId_);
    if (it == conns_.end()) {
        longDone_ = true;
        return;
    }
    Conn &c = *it->second;
    if (longBack_ < longSent_ && now - longSentAt_[size_t(longBack_)] > opt_.stallSeconds * 1000) {
        fail("long line " + std::to_string(longBack_ + 1) + " not relayed back within "
             + std::to_string(int(opt_.stallSeconds)) + " s");
        return;
    }
    const bool over = longSent_ >= opt_.longLines || now >= longEnd_;
    if (over) {
        if (longBack_ == longSent_) {
            longDone_ = true;
            std::printf("churn: long lines: %ld of %d characters relayed back in %.0f s\n",
                        longSent_, opt_.longChars, double(now - t0_) / 1000);
            std::fflush(stdout);
            drop(c.id, false);
        }
        return;
    }
    // Two lines in flight: the hub's queues stay small, the line rate stays high.
    if (c.stage < 1 || longSent_ - longBack_ >= 2 || c.outOff < c.out.size())
        return;
    char head[40];
    std::snprintf(head, sizeof head, "%s >> %07ld ", c.name.c_str(), longSent_ + 1);
    std::string line = "_SendM ";
    line += head;
    for (size_t k = line.size() - 7; k < size_t(opt_.longChars); ++k)
        line += char('a' + k % 26);
    longSentAt_.push_back(now);
    ++longSent_;
    send(c, line);
}

// --- the hub process ------------------------------------------------------------------

// Reads a /proc file with plain read(): a process that is going away makes the read
// fail, which must read as "gone", not throw.
std::string readProc(pid_t pid, const char *file)
{
    const std::string path = "/proc/" + std::to_string(pid) + "/" + file;
    std::string all;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return all;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        all.append(buf, size_t(n));
    ::close(fd);
    return all;
}

bool Churn::hubAlive() const
{
    const std::string all = readProc(opt_.hubPid, "stat");
    const size_t close = all.rfind(')');
    if (close == std::string::npos || close + 2 >= all.size())
        return false;
    const char state = all[close + 2];
    return state != 'Z' && state != 'X';
}

long Churn::hubRssKb() const
{
    const std::string all = readProc(opt_.hubPid, "status");
    const size_t p = all.find("VmRSS:");
    return p == std::string::npos ? 0 : std::atol(all.c_str() + p + 6);
}

void Churn::tickMonitor(int64_t now, bool force)
{
    if (opt_.hubPid > 0 && now >= nextAliveCheck_) {
        nextAliveCheck_ = now + 500;
        if (!hubAlive())
            fail("hub process " + std::to_string(opt_.hubPid) + " died");
    }
    if (opt_.hubPid > 0 && now >= nextSample_) {
        nextSample_ = now + 2000;
        const long kb = hubRssKb();
        if (kb > 0) {
            rss_.emplace_back(double(now - t0_) / 1000, kb);
            if (opt_.maxRssMb > 0 && kb > opt_.maxRssMb * 1024)
                fail("hub RSS " + std::to_string(kb / 1024) + " MB passed the ceiling of "
                     + std::to_string(opt_.maxRssMb) + " MB");
        }
    }
    if (force || now >= nextReport_) {
        nextReport_ = now + 30000;
        long peak = 0;
        for (auto [t, kb] : rss_)
            peak = std::max(peak, kb);
        std::printf("churn: %4.0f s | cycles %ld (round %d) + %ld in groups | mix %ld (%ld dropped"
                    " by the hub) | long lines %ld | steady lines checked %ld | hub RSS %.1f MB,"
                    " peak %.1f MB\n",
                    double(now - t0_) / 1000, cycles_, round_ + 1, groupCycles_,
                    mixStarted_, mixDropped_, longBack_, linesChecked_,
                    rss_.empty() ? 0.0 : double(rss_.back().second) / 1024, double(peak) / 1024);
        std::fflush(stdout);
    }
}

int Churn::run()
{
    std::signal(SIGPIPE, SIG_IGN);
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    t0_ = nowMs();
    const int64_t end = t0_ + int64_t(opt_.minutes * 60000);
    std::printf("churn: 127.0.0.1:%d for %.1f min, seed %u, hub pid %d\n", opt_.port, opt_.minutes,
                opt_.seed, int(opt_.hubPid));
    std::fflush(stdout);

    // The steady clients register first, one at a time, and stay.
    sentAt_.assign(size_t(opt_.steady), {});
    next_.assign(size_t(opt_.steady), std::vector<long>(size_t(opt_.steady), 1));
    for (int k = 0; k < opt_.steady && failure_.empty(); ++k) {
        Conn *c = open(Kind::Steady, "s0" + std::to_string(k + 1));
        if (!c)
            break;
        c->steadyIdx = k;
        const uint64_t id = c->id;
        steadyIds_.push_back(id);
        const int64_t deadline = nowMs() + int64_t(opt_.stallSeconds * 1000);
        while (failure_.empty() && conns_.count(id) && !conns_[id]->gotSlot && nowMs() < deadline)
            pump(10);
        if (failure_.empty() && !conns_[id]->gotSlot)
            fail(conns_[id]->name + ": no slot number from the hub");
    }
    if (failure_.empty() && opt_.longLines > 0) {
        const double secs = opt_.longSeconds >= 0 ? opt_.longSeconds : opt_.minutes * 20 - 5;
        longEnd_ = nowMs() + int64_t(std::max(0.0, secs) * 1000);
        if (Conn *c = open(Kind::Long, "L01"))
            longId_ = c->id;
    } else {
        longDone_ = true;
    }

    while (failure_.empty() && nowMs() < end) {
        pump(2);
        const int64_t now = nowMs();
        tickSteady(now);
        // The long lines go first, with only the steady clients beside them: one thread
        // cannot read 32,000-character lines for 30 clients as fast as the hub sends them,
        // and the hub rightly drops a client that falls 256 kB behind.
        tickLong(now);
        if (opt_.churn && longDone_)
            tickChurn(now);
        if (longDone_)
            tickMix(now);
        tickMonitor(now, false);
    }
    const double runSeconds = double(nowMs() - t0_) / 1000;

    // Extra and short clients leave; the steady lines still under way must all arrive.
    std::vector<uint64_t> others;
    for (auto &[id, c] : conns_)
        if (c->kind != Kind::Steady)
            others.push_back(id);
    for (uint64_t id : others)
        drop(id, false);
    if (failure_.empty() && !drainSteady(nowMs() + int64_t(opt_.stallSeconds * 1000)))
        fail("steady lines still missing " + std::to_string(int(opt_.stallSeconds))
             + " s after the last was sent");
    tickMonitor(nowMs(), true);

    // The hub's memory must level off: the peak of the last third of the run may not
    // pass the peak of the middle third by more than the margin.
    long midPeak = 0, lastPeak = 0;
    for (auto [t, kb] : rss_) {
        if (t >= runSeconds / 3 && t < runSeconds * 2 / 3)
            midPeak = std::max(midPeak, kb);
        else if (t >= runSeconds * 2 / 3)
            lastPeak = std::max(lastPeak, kb);
    }
    if (failure_.empty() && runSeconds >= 60 && midPeak > 0 && lastPeak > midPeak + opt_.rssMarginMb * 1024)
        fail("hub RSS keeps growing: peak " + std::to_string(midPeak / 1024)
             + " MB in the middle third of the run, " + std::to_string(lastPeak / 1024)
             + " MB in the last");

    for (auto &[id, c] : conns_)
        ::close(c->fd);
    conns_.clear();
    ::close(ep_);

    if (!failure_.empty()) {
        // A crashed hub's connections are reset before its process is gone: look again.
        bool died = false;
        for (int k = 0; k < 20 && opt_.hubPid > 0 && !died; ++k) {
            died = !hubAlive();
            if (!died)
                usleep(100'000);
        }
        std::printf("churn: FAIL after %.0f s, %ld churn cycles + %ld in groups, %ld extra clients: %s%s\n",
                    runSeconds, cycles_, groupCycles_, mixStarted_,
                    died ? ("the hub process " + std::to_string(opt_.hubPid) + " died; first sign: ").c_str() : "",
                    failure_.c_str());
        return 1;
    }
    std::printf("churn: PASS: %.0f s, %ld churn cycles + %ld in groups, %ld extra clients, %ld long"
                " lines, %ld steady lines checked (%ld bytes of other clients' raw text skipped);"
                " hub RSS peak %.1f MB middle third, %.1f MB last third\n",
                runSeconds, cycles_, groupCycles_, mixStarted_, longBack_, linesChecked_,
                foreignBytes_, double(midPeak) / 1024,
                double(lastPeak) / 1024);
    return 0;
}

void usage()
{
    std::fprintf(stderr,
        "usage: churn PORT --minutes M [options]\n"
        "  --hub-pid PID         watch the hub process: its death and its memory (VmRSS)\n"
        "  --max-rss-mb N        fail when the hub's RSS passes N MB (default 0: no ceiling)\n"
        "  --rss-margin-mb N     growth allowed from the middle to the last third (default 16)\n"
        "  --steady N            steady clients, 2..9 (default 4)\n"
        "  --steady-every-ms N   each steady client sends a line this often (default 50)\n"
        "  --mix N               extra clients at a time (default 8; 0: none)\n"
        "  --no-churn            no churn rounds (with --mix 0: steady and long lines only)\n"
        "  --long-lines N        long lines sent at the start (default 10000; 0: none)\n"
        "  --long-chars N        characters in a long line (default 32000)\n"
        "  --long-seconds S      time bound of the long lines (default: a third of the run)\n"
        "  --stall-seconds S     no answer for this long means the hub stopped (default 10)\n"
        "  --seed N              random seed (default: from the clock)\n");
}

}  // namespace

int main(int argc, char **argv)
{
    Options o;
    o.seed = unsigned(nowMs());
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto val = [&]() -> const char * {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--minutes")
            o.minutes = std::atof(val());
        else if (a == "--hub-pid")
            o.hubPid = pid_t(std::atol(val()));
        else if (a == "--max-rss-mb")
            o.maxRssMb = std::atol(val());
        else if (a == "--rss-margin-mb")
            o.rssMarginMb = std::atol(val());
        else if (a == "--steady")
            o.steady = std::atoi(val());
        else if (a == "--steady-every-ms")
            o.steadyEveryMs = std::atoi(val());
        else if (a == "--mix")
            o.mixMax = std::atoi(val());
        else if (a == "--no-churn")
            o.churn = false;
        else if (a == "--long-lines")
            o.longLines = std::atol(val());
        else if (a == "--long-chars")
            o.longChars = std::atoi(val());
        else if (a == "--long-seconds")
            o.longSeconds = std::atof(val());
        else if (a == "--stall-seconds")
            o.stallSeconds = std::atof(val());
        else if (a == "--seed")
            o.seed = unsigned(std::strtoul(val(), nullptr, 10));
        else if (a[0] != '-' && o.port == 0)
            o.port = std::atoi(a.c_str());
        else {
            usage();
            return 2;
        }
    }
    if (o.port <= 0 || o.port > 65535 || o.minutes <= 0 || o.minutes > 24 * 60 || o.steady < 2
        || o.steady > 9 || o.steadyEveryMs < 1 || o.mixMax < 0 || o.longChars < 32
        || o.stallSeconds <= 0) {
        usage();
        return 2;
    }
    return Churn(o).run();
}
