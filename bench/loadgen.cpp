// SPDX-License-Identifier: MIT
// loadgen: a one-thread epoll load generator for the lanchat hub and for the
// two reference servers the hub is compared with (bench/relay and ngircd).
//
// It connects N clients to a loopback address, registers them one at a time,
// lets client b01 send numbered Japanese chat lines and checks every line each
// receiver gets. It measures fan-out latency, throughput, and the hub's CPU
// time and resident memory (from /proc of the hub pid given on the command
// line). Figures go to stdout as key=value lines, a summary to stderr.
// Any line cut, altered, out of sequence or lost makes the run fail (exit 1).

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

int64_t nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000LL + ts.tv_nsec;
}

int64_t secondsToNs(double s) { return int64_t(s * 1e9); }

enum class Mode { Lanchat, Irc, Relay };

struct Options {
    Mode mode = Mode::Lanchat;
    std::string host = "127.0.0.1";
    int port = 0;
    int clients = 10;
    pid_t hubPid = 0;
    std::string hubName = "hub";     // lanchat: expected name list entry 0 ("" skips the check)
    std::string channel = "#bench";  // irc
    int latencyLines = 2000;
    int warmupLines = 50;
    int window = 64;
    double seconds = 5.0;
    long totalLines = 0;             // 0: no long phase
    double totalMaxSeconds = 120.0;  // bound on the long phase
    double lineTimeout = 5.0;        // a line not fanned out by then counts as lost
    double maxSeconds = 900.0;       // bound on the whole run
};

// Chat texts. None may contain '_' (0x5F): on the lanchat wire it starts a new
// segment. UTF-8 continuation and lead bytes are never 0x5F, so only the ASCII
// part matters.
constexpr std::array<std::string_view, 5> kPhrases = {
    "こんにちは、テストです",
    "今日はいい天気ですね。",
    "了解しました！　また後で",
    "負荷試験：行の順序と欠落を確認中",
    "ｶﾀｶﾅ・漢字・ABC 123 の混在",
};
constexpr int kSeqDigits = 7;
// "bNN >> " + 7 digits + " " : the fixed-size head of every chat line.
constexpr size_t kHeadLen = 3 + 4 + kSeqDigits + 1;

std::string clientName(int idx)  // idx 0-based; names b01..b99
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

enum class Check { Ok, Incomplete, Bad, NotChat };

// Checks one received chat value against the line that was sent.
// NotChat: the text does not start like a chat line (notices and the like).
// Incomplete: a proper prefix of a valid line.
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

struct Errors {
    long cut = 0;          // a line ended early
    long altered = 0;      // bytes that differ from what was sent
    long outOfOrder = 0;   // sequence not strictly increasing by one at a receiver
    long lost = 0;         // deliveries that never arrived
    long duplicate = 0;    // a receiver got a line twice
    long echoLost = 0;     // lanchat/relay: the sender's own copies missing
    long closed = 0;       // connections the hub closed or that failed
    long registration = 0; // wrong slot, name list or join notices
    long total() const
    {
        return cut + altered + outOfOrder + lost + duplicate + echoLost + closed + registration;
    }
};

struct Client {
    int fd = -1;
    int idx = 0;
    std::string name;
    std::string in;
    std::string out;
    size_t outOff = 0;
    bool wantOut = false;
    bool closed = false;
    // registration
    bool registered = false;
    bool welcomed = false;  // irc: 001 seen
    int slot = -1;          // lanchat: "_SdSck"
    std::vector<std::string> names;
    long laterNames = 0;    // "_NameL" for clients that registered after this one
    long joinNotices = 0;   // join notices for later clients
    long other = 0;         // segments or lines of no interest
    // chat
    long nextSeq = 1;
    long echoes = 0;
};

struct Line {
    int64_t sentNs = 0;
    int64_t doneNs = 0;
    int got = 0;
};

struct CpuMem {
    bool ok = false;
    double cpuMs = 0;
    long rssKb = 0;
};

CpuMem readHub(pid_t pid)
{
    CpuMem r;
    if (pid <= 0)
        return r;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = all.rfind(')');
    if (close == std::string::npos)
        return r;
    std::istringstream fields(all.substr(close + 2));
    std::string f;
    unsigned long long utime = 0, stime = 0;
    // Fields after the command: state(3) ... utime(14) stime(15).
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14)
            utime = std::stoull(f);
        if (i == 15)
            stime = std::stoull(f);
    }
    r.cpuMs = double(utime + stime) * 1000.0 / double(sysconf(_SC_CLK_TCK));
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            r.rssKb = std::atol(line.c_str() + 6);
            r.ok = true;
        }
    }
    return r;
}

double percentile(std::vector<double> sorted, double p)
{
    if (sorted.empty())
        return 0;
    std::sort(sorted.begin(), sorted.end());
    size_t rank = size_t(std::ceil(p * double(sorted.size())));
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

class LoadGen {
public:
    explicit LoadGen(Options o) : opt_(std::move(o)) { lines_.resize(1); }
    int run();

private:
    // plumbing
    bool connectClient(Client &c);
    void queue(Client &c, std::string_view data);
    void flush(Client &c);
    void closeClient(Client &c, const char *why);
    void pump(int timeoutMs);
    void onReadable(Client &c);
    template <class Pred> bool pumpUntil(Pred done, int64_t deadline);

    // receiving
    void parseSegments(Client &c, bool final);
    bool handleSegment(Client &c, std::string_view seg, bool complete);
    void parseIrc(Client &c);
    void handleIrcLine(Client &c, std::string_view line);
    void chatValue(Client &c, std::string_view v, bool complete, bool &consumed);
    void deliver(Client &c, int sender, long seq);
    bool knownName(std::string_view n) const;
    bool isJoinNotice(std::string_view v, std::string &who) const;
    bool isLaterClient(const Client &c, const std::string &who) const;
    void checkRegistered(Client &c);

    // phases
    bool registerAll();
    bool settleJoins();
    long sendLine();
    long inFlight() const { return sent_ - completed_ - stuck_; }
    void runLatency();
    void runWindowed(double seconds, long untilTotal, const char *prefix);
    void finish();

    Options opt_;
    int ep_ = -1;
    std::vector<Client> clients_;
    std::vector<Line> lines_;  // index: sequence number, from 1
    long sent_ = 0;
    long completed_ = 0;
    long stuck_ = 0;           // lines given up on by the latency phase
    long deliveries_ = 0;
    int64_t recvNs_ = 0;       // time of the read being parsed
    int64_t runDeadline_ = 0;
    Errors err_;
    std::vector<std::pair<std::string, std::string>> out_;  // key=value figures

    void put(const std::string &k, const std::string &v) { out_.emplace_back(k, v); }
    void put(const std::string &k, double v, int prec = 1)
    {
        char b[64];
        std::snprintf(b, sizeof b, "%.*f", prec, v);
        put(k, std::string(b));
    }
    void putI(const std::string &k, long v) { put(k, std::to_string(v)); }
};

bool LoadGen::connectClient(Client &c)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(opt_.port));
    inet_pton(AF_INET, opt_.host.c_str(), &sa.sin_addr);
    c.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (c.fd < 0)
        return false;
    if (connect(c.fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) {
        std::fprintf(stderr, "loadgen: connect %s:%d for %s: %s\n", opt_.host.c_str(), opt_.port,
                     c.name.c_str(), std::strerror(errno));
        ::close(c.fd);
        c.fd = -1;
        return false;
    }
    int one = 1;
    setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = uint32_t(c.idx);
    epoll_ctl(ep_, EPOLL_CTL_ADD, c.fd, &ev);
    return true;
}

void LoadGen::closeClient(Client &c, const char *why)
{
    if (c.closed)
        return;
    std::fprintf(stderr, "loadgen: %s: connection closed (%s)\n", c.name.c_str(), why);
    c.closed = true;
    ++err_.closed;
    epoll_ctl(ep_, EPOLL_CTL_DEL, c.fd, nullptr);
    ::close(c.fd);
    c.fd = -1;
}

// Each call is one send() when nothing is queued, so the hub sees the same
// message boundaries a real client produces (TCP may still merge them).
void LoadGen::queue(Client &c, std::string_view data)
{
    if (c.closed)
        return;
    if (c.outOff == c.out.size()) {
        c.out.clear();
        c.outOff = 0;
        const ssize_t n = ::send(c.fd, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n == ssize_t(data.size()))
            return;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            closeClient(c, std::strerror(errno));
            return;
        }
        data.remove_prefix(n > 0 ? size_t(n) : 0);
    }
    c.out.append(data);
    if (!c.wantOut) {
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = uint32_t(c.idx);
        epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
        c.wantOut = true;
    }
}

void LoadGen::flush(Client &c)
{
    while (!c.closed && c.outOff < c.out.size()) {
        const ssize_t n = ::send(c.fd, c.out.data() + c.outOff, c.out.size() - c.outOff,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                closeClient(c, std::strerror(errno));
            return;
        }
        c.outOff += size_t(n);
    }
    if (c.closed)
        return;
    c.out.clear();
    c.outOff = 0;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = uint32_t(c.idx);
    epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
    c.wantOut = false;
}

void LoadGen::onReadable(Client &c)
{
    static char buf[256 * 1024];
    for (int round = 0; round < 64 && !c.closed; ++round) {
        const ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            c.in.append(buf, size_t(n));
            if (size_t(n) < sizeof buf)
                break;
            continue;
        }
        if (n == 0) {
            closeClient(c, "end of stream");
            return;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
            break;
        closeClient(c, std::strerror(errno));
        return;
    }
    recvNs_ = nowNs();
    if (opt_.mode == Mode::Irc)
        parseIrc(c);
    else
        parseSegments(c, false);
}

void LoadGen::pump(int timeoutMs)
{
    epoll_event evs[128];
    const int n = epoll_wait(ep_, evs, 128, timeoutMs);
    for (int i = 0; i < n; ++i) {
        Client &c = clients_[evs[i].data.u32];
        if (c.closed)
            continue;
        if (evs[i].events & EPOLLOUT)
            flush(c);
        if (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))
            onReadable(c);
    }
}

template <class Pred> bool LoadGen::pumpUntil(Pred done, int64_t deadline)
{
    deadline = std::min(deadline, runDeadline_);
    while (!done()) {
        const int64_t left = deadline - nowNs();
        if (left <= 0)
            return done();
        pump(int(std::clamp<int64_t>(left / 1'000'000, 1, 100)));
    }
    return true;
}

bool LoadGen::knownName(std::string_view n) const
{
    if (!opt_.hubName.empty() && n == opt_.hubName)
        return true;
    return n.size() == 3 && n[0] == 'b' && std::isdigit(static_cast<unsigned char>(n[1]))
        && std::isdigit(static_cast<unsigned char>(n[2]));
}

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

// The hub's join notice: "*****　" + name + "さんが入室しました" + ("　*****" or "  *****").
bool LoadGen::isJoinNotice(std::string_view v, std::string &who) const
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
    if (tag == "_NameL") {
        if (!complete && !knownName(payload))
            return false;
        if (!c.registered && c.slot >= 0) {
            c.names.emplace_back(payload);
            checkRegistered(c);
        } else if (c.registered && isLaterClient(c, std::string(payload))) {
            ++c.laterNames;
        } else {
            ++c.other;
        }
        return true;
    }
    if (tag == "_SdSck") {
        if (!complete)
            return false;  // always followed by the name list
        c.slot = std::atoi(std::string(payload).c_str());
        return true;
    }
    if (tag == "_Hello" && opt_.mode == Mode::Relay) {
        if (!complete && !knownName(payload))
            return false;
        if (payload == c.name)
            c.registered = true;
        else
            ++c.joinNotices;  // a later client's hello
        return true;
    }
    if (!complete)
        return false;
    ++c.other;
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
        if (colon == std::string_view::npos) {
            ++err_.altered;
            return;
        }
        bool consumed = false;
        chatValue(c, params.substr(colon + 2), true, consumed);
        return;
    }
    if (cmd == "PING") {
        queue(c, "PONG " + std::string(params) + "\r\n");
        return;
    }
    if (cmd == "001") {
        c.welcomed = true;
        queue(c, "JOIN " + opt_.channel + "\r\n");
        return;
    }
    if (cmd == "366") {
        c.registered = true;
        return;
    }
    if (cmd == "JOIN") {
        if (c.registered)
            ++c.joinNotices;
        return;
    }
    if (cmd == "ERROR" || (cmd.size() == 3 && (cmd[0] == '4' || cmd[0] == '5'))) {
        if (cmd == "422")  // no MOTD: harmless
            return;
        ++err_.registration;
        std::fprintf(stderr, "loadgen: %s: server said: %.*s\n", c.name.c_str(), int(line.size()),
                     line.data());
        return;
    }
    if (c.registered)  // replies during registration are of no interest
        ++c.other;
}

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
        if (!pumpUntil([&] { return c.registered || c.closed; }, nowNs() + secondsToNs(10))) {
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

// Every client sees each later one join: lanchat sends "_NameL" and a notice,
// ngircd a JOIN line. Wait for all of them, then for quiet.
bool LoadGen::settleJoins()
{
    const int n = opt_.clients;
    auto allSeen = [&] {
        if (opt_.mode == Mode::Relay)
            return true;
        for (const auto &c : clients_) {
            const long want = n - 1 - c.idx;
            if (c.joinNotices < want)
                return false;
            if (opt_.mode == Mode::Lanchat && c.laterNames < want)
                return false;
        }
        return true;
    };
    pumpUntil(allSeen, nowNs() + secondsToNs(5));
    // Quiet period: whatever else the hub sends on joins arrives now.
    const int64_t quietEnd = nowNs() + 200'000'000;
    while (nowNs() < quietEnd)
        pump(20);
    bool good = true;
    if (opt_.mode != Mode::Relay) {
        for (auto &c : clients_) {
            if (opt_.mode == Mode::Lanchat)
                parseSegments(c, true);
            const long want = n - 1 - c.idx;
            const bool bad = c.joinNotices != want
                || (opt_.mode == Mode::Lanchat && c.laterNames != want);
            if (bad) {
                std::fprintf(stderr, "loadgen: %s: %ld join notices, %ld later names, expected %ld\n",
                             c.name.c_str(), c.joinNotices, c.laterNames, want);
                ++err_.registration;
                good = false;
            }
        }
    }
    return good;
}

long LoadGen::sendLine()
{
    const long seq = ++sent_;
    if (seq >= 10'000'000L) {
        std::fprintf(stderr, "loadgen: sequence numbers exhausted\n");
        std::exit(2);
    }
    lines_.push_back(Line{nowNs(), 0, 0});
    const std::string text = chatLine(0, seq);
    Client &s = clients_[0];
    if (opt_.mode == Mode::Irc)
        queue(s, "PRIVMSG " + opt_.channel + " :" + text + "\r\n");
    else
        queue(s, "_SendM " + text);
    return seq;
}

void LoadGen::runLatency()
{
    std::vector<double> us;
    us.reserve(size_t(opt_.latencyLines));
    int timeouts = 0;
    CpuMem cpu0;
    long deliv0 = 0;
    const int total = opt_.warmupLines + opt_.latencyLines;
    for (int i = 0; i < total && timeouts < 3; ++i) {
        if (i == opt_.warmupLines) {
            cpu0 = readHub(opt_.hubPid);
            deliv0 = deliveries_;
        }
        const long seq = sendLine();
        const int64_t sentNs = lines_[size_t(seq)].sentNs;
        if (!pumpUntil([&] { return lines_[size_t(seq)].doneNs != 0; },
                       nowNs() + secondsToNs(opt_.lineTimeout))) {
            ++timeouts;
            ++stuck_;
            std::fprintf(stderr, "loadgen: line %ld not fanned out within %.1f s\n", seq,
                         opt_.lineTimeout);
            continue;
        }
        if (i >= opt_.warmupLines)
            us.push_back(double(lines_[size_t(seq)].doneNs - sentNs) / 1000.0);
    }
    const CpuMem cpu1 = readHub(opt_.hubPid);
    putI("lat_lines", long(us.size()));
    put("lat_p50_us", percentile(us, 0.50));
    put("lat_p99_us", percentile(us, 0.99));
    put("lat_max_us", us.empty() ? 0.0 : *std::max_element(us.begin(), us.end()));
    double sum = 0;
    for (double v : us)
        sum += v;
    put("lat_mean_us", us.empty() ? 0.0 : sum / double(us.size()));
    const long d = deliveries_ - deliv0;
    if (cpu0.ok && cpu1.ok && d > 0)
        put("lat_hub_cpu_ms_per_1k_deliveries", (cpu1.cpuMs - cpu0.cpuMs) / (double(d) / 1000.0), 3);
}

// Keeps `window` lines in flight. Sends for `seconds` (when > 0) or until
// `untilTotal` lines have been sent in the whole run, then waits for the
// lines still in flight.
void LoadGen::runWindowed(double seconds, long untilTotal, const char *prefix)
{
    const std::string p(prefix);
    const CpuMem cpu0 = readHub(opt_.hubPid);
    const long deliv0 = deliveries_;
    const long first = sent_ + 1;
    const int64_t t0 = nowNs();
    const int64_t sendEnd = t0 + secondsToNs(seconds > 0 ? seconds : opt_.totalMaxSeconds);
    bool capped = false;
    while (nowNs() < runDeadline_) {
        const bool more = untilTotal > 0 ? sent_ < untilTotal : true;
        if (!more)
            break;
        if (nowNs() >= sendEnd) {
            capped = untilTotal > 0;
            break;
        }
        long room = opt_.window - inFlight();
        while (room-- > 0 && (untilTotal <= 0 || sent_ < untilTotal))
            sendLine();
        pump(1);
    }
    const long last = sent_;
    const bool drained = pumpUntil([&] { return inFlight() == 0; },
                                   nowNs() + secondsToNs(std::max(10.0, opt_.lineTimeout)));
    int64_t tEnd = t0;
    long lineCount = 0;
    for (long s = first; s <= last; ++s) {
        if (lines_[size_t(s)].doneNs != 0) {
            tEnd = std::max(tEnd, lines_[size_t(s)].doneNs);
            ++lineCount;
        }
    }
    const CpuMem cpu1 = readHub(opt_.hubPid);
    const double secs = double(tEnd - t0) / 1e9;
    const long d = deliveries_ - deliv0;
    putI(p + "lines", last - first + 1);
    put(p + "seconds", secs, 3);
    put(p + "lines_per_s", secs > 0 ? double(lineCount) / secs : 0.0);
    put(p + "deliveries_per_s", secs > 0 ? double(d) / secs : 0.0);
    if (cpu0.ok && cpu1.ok && d > 0) {
        put(p + "hub_cpu_ms_per_1k_deliveries", (cpu1.cpuMs - cpu0.cpuMs) / (double(d) / 1000.0), 3);
        putI(p + "hub_rss_kb", cpu1.rssKb);
    }
    if (capped) {
        putI(p + "capped", 1);
        std::fprintf(stderr, "loadgen: %s phase stopped by its time bound at %ld lines\n",
                     p.substr(0, p.size() - 1).c_str(), sent_);
    }
    if (!drained)
        std::fprintf(stderr, "loadgen: %s phase: %ld lines still in flight after the drain\n",
                     p.substr(0, p.size() - 1).c_str(), inFlight());
}

void LoadGen::finish()
{
    // Let late bytes arrive, then take whatever is left as final.
    pumpUntil([&] {
        for (const auto &c : clients_)
            if (!c.closed && c.idx != 0 && c.nextSeq <= sent_)
                return false;
        return true;
    }, nowNs() + secondsToNs(2));
    const int64_t quietEnd = nowNs() + 100'000'000;
    while (nowNs() < quietEnd)
        pump(10);
    for (auto &c : clients_) {
        if (opt_.mode != Mode::Irc)
            parseSegments(c, true);
        if (!c.in.empty())
            ++err_.cut;  // a partial line or message left over
    }
    const int others = opt_.clients - 1;
    for (long s = 1; s <= sent_; ++s)
        if (lines_[size_t(s)].got < others)
            err_.lost += others - lines_[size_t(s)].got;
    if (opt_.mode != Mode::Irc && !clients_.empty())
        err_.echoLost = sent_ - clients_[0].echoes;
}

int LoadGen::run()
{
    const int64_t t0 = nowNs();
    runDeadline_ = t0 + secondsToNs(opt_.maxSeconds);
    ep_ = epoll_create1(EPOLL_CLOEXEC);
    const char *modeName = opt_.mode == Mode::Lanchat ? "lanchat" : opt_.mode == Mode::Irc ? "irc" : "relay";
    put("mode", modeName);
    putI("clients", opt_.clients);
    const CpuMem start = readHub(opt_.hubPid);
    if (start.ok)
        putI("hub_rss_start_kb", start.rssKb);

    bool ok = registerAll();
    if (ok)
        ok = settleJoins();
    put("register_seconds", double(nowNs() - t0) / 1e9, 3);
    const CpuMem reg = readHub(opt_.hubPid);
    if (reg.ok)
        putI("hub_rss_registered_kb", reg.rssKb);
    if (ok) {
        runLatency();
        runWindowed(opt_.seconds, 0, "tp_");
        const CpuMem after = readHub(opt_.hubPid);
        if (after.ok)
            putI("hub_rss_after_kb", after.rssKb);
        if (opt_.totalLines > sent_) {
            runWindowed(0, opt_.totalLines, "total_");
        }
        const CpuMem tot = readHub(opt_.hubPid);
        if (tot.ok)
            putI("hub_rss_total_kb", tot.rssKb);
    }
    finish();
    putI("lines_sent", sent_);
    putI("deliveries", deliveries_);
    putI("err_cut", err_.cut);
    putI("err_altered", err_.altered);
    putI("err_out_of_order", err_.outOfOrder);
    putI("err_lost", err_.lost);
    putI("err_duplicate", err_.duplicate);
    putI("err_echo_lost", err_.echoLost);
    putI("err_closed", err_.closed);
    putI("err_registration", err_.registration);
    long other = 0;
    for (const auto &c : clients_)
        other += c.other;
    putI("other_messages", other);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    put("loadgen_cpu_s", double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec)
            + double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6, 3);
    put("run_seconds", double(nowNs() - t0) / 1e9, 3);
    const bool pass = ok && err_.total() == 0;
    put("result", pass ? "PASS" : "FAIL");

    for (const auto &[k, v] : out_)
        std::printf("%s=%s\n", k.c_str(), v.c_str());
    std::fflush(stdout);

    auto get = [&](const std::string &k) -> std::string {
        for (const auto &[kk, v] : out_)
            if (kk == k)
                return v;
        return "-";
    };
    std::fprintf(stderr,
                 "%s N=%d: fan-out p50 %s us, p99 %s us, max %s us | %s lines/s, %s deliveries/s"
                 " | hub CPU %s ms per 1000 deliveries | hub RSS start %s kB, after %s kB,"
                 " after %s lines %s kB | errors: cut %ld altered %ld order %ld lost %ld dup %ld"
                 " echo %ld closed %ld reg %ld => %s\n",
                 modeName, opt_.clients, get("lat_p50_us").c_str(), get("lat_p99_us").c_str(),
                 get("lat_max_us").c_str(), get("tp_lines_per_s").c_str(),
                 get("tp_deliveries_per_s").c_str(), get("tp_hub_cpu_ms_per_1k_deliveries").c_str(),
                 get("hub_rss_start_kb").c_str(), get("hub_rss_after_kb").c_str(),
                 std::to_string(sent_).c_str(), get("hub_rss_total_kb").c_str(), err_.cut,
                 err_.altered, err_.outOfOrder, err_.lost, err_.duplicate, err_.echoLost,
                 err_.closed, err_.registration, pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}

void usage()
{
    std::fprintf(stderr,
        "usage: loadgen --mode lanchat|irc|relay --port P [options]\n"
        "  --host ADDR           loopback address of the hub (127.x.x.x; default 127.0.0.1)\n"
        "  --clients N           clients to connect, 2..50 for lanchat, 2..99 otherwise (default 10)\n"
        "  --hub-pid PID         hub process for CPU and RSS figures (/proc/PID)\n"
        "  --hub-name NAME       lanchat: expected name list entry 0 (default hub; '' skips)\n"
        "  --channel NAME        irc: channel (default #bench)\n"
        "  --latency-lines K     lines for the fan-out latency phase (default 2000)\n"
        "  --warmup-lines K      unmeasured lines before it (default 50)\n"
        "  --window W            lines in flight in the throughput phase (default 64)\n"
        "  --seconds S           length of the throughput phase (default 5)\n"
        "  --total-lines T       then keep sending until T lines in all (default 0: off)\n"
        "  --total-max-seconds S bound on that phase (default 120)\n"
        "  --line-timeout S      a line not fanned out by then is lost (default 5)\n"
        "  --max-seconds S       bound on the whole run (default 900)\n");
}

std::optional<Options> parseArgs(int argc, char **argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto val = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "loadgen: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "-h" || a == "--help") {
            usage();
            std::exit(0);
        }
        if (a == "--mode") {
            const std::string m = val();
            if (m == "lanchat")
                o.mode = Mode::Lanchat;
            else if (m == "irc")
                o.mode = Mode::Irc;
            else if (m == "relay")
                o.mode = Mode::Relay;
            else
                return std::nullopt;
        } else if (a == "--host") {
            o.host = val();
        } else if (a == "--port") {
            o.port = std::atoi(val().c_str());
        } else if (a == "--clients") {
            o.clients = std::atoi(val().c_str());
        } else if (a == "--hub-pid") {
            o.hubPid = pid_t(std::atol(val().c_str()));
        } else if (a == "--hub-name") {
            o.hubName = val();
        } else if (a == "--channel") {
            o.channel = val();
        } else if (a == "--latency-lines") {
            o.latencyLines = std::atoi(val().c_str());
        } else if (a == "--warmup-lines") {
            o.warmupLines = std::atoi(val().c_str());
        } else if (a == "--window") {
            o.window = std::atoi(val().c_str());
        } else if (a == "--seconds") {
            o.seconds = std::atof(val().c_str());
        } else if (a == "--total-lines") {
            o.totalLines = std::atol(val().c_str());
        } else if (a == "--total-max-seconds") {
            o.totalMaxSeconds = std::atof(val().c_str());
        } else if (a == "--line-timeout") {
            o.lineTimeout = std::atof(val().c_str());
        } else if (a == "--max-seconds") {
            o.maxSeconds = std::atof(val().c_str());
        } else {
            return std::nullopt;
        }
    }
    if (o.host == "localhost")
        o.host = "127.0.0.1";
    in_addr addr{};
    if (inet_pton(AF_INET, o.host.c_str(), &addr) != 1 || (ntohl(addr.s_addr) >> 24) != 127) {
        std::fprintf(stderr, "loadgen: only loopback addresses (127.0.0.0/8) are allowed\n");
        return std::nullopt;
    }
    const int maxClients = o.mode == Mode::Lanchat ? 50 : 99;
    if (o.port <= 0 || o.port > 65535 || o.clients < 2 || o.clients > maxClients || o.window < 1
        || o.latencyLines < 0 || o.warmupLines < 0 || o.seconds < 0 || o.maxSeconds <= 0)
        return std::nullopt;
    return o;
}

}  // namespace

int main(int argc, char **argv)
{
    for (auto p : kPhrases) {
        if (p.find('_') != std::string_view::npos) {
            std::fprintf(stderr, "loadgen: chat phrase contains '_'\n");
            return 2;
        }
    }
    auto o = parseArgs(argc, argv);
    if (!o) {
        usage();
        return 2;
    }
    LoadGen g(std::move(*o));
    return g.run();
}
