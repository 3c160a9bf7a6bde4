// SPDX-License-Identifier: MIT
// Fuzz target over the real socket array and the real hub window, on loopback.
//
// Raw clients connect, register, send, flood, close and reset while the hub relays with
// its yields, so that departures and arrivals are handled inside other relays. It is
// here to catch the hub using a socket that has already been deleted, which the
// in-memory sockets of chunk_fuzzer.cpp cannot show: they do not die as Qt's do.
//
// One hub window ("S", offscreen) is opened on a free port by the first input and serves
// every input. The input is a script, one operation a line. The first character is the
// operation; the second names a client, 'a' being client 0 (any character: its code
// minus 'a', modulo 24), or for w a count; the rest of the line is text, in which '#'
// becomes '?' (it is kept for the harness's own chat lines).
//
//   c<k>       client k connects, if it is not connected
//   r<k>name   client k connects if needed and registers: "_RqSck _Cnnct name"
//   m<k>text   client k sends the chat line "_SendM nK >> kC#SEQ.text", C numbering
//              the connection (each connect makes a new one)
//   f<k><d>    client k floods: 20 x (d + 1) such chat lines in one write
//   s<k>text   client k sends the text as it is
//   x<k>       client k closes its connection (FIN, after what it wrote)
//   z<k>       client k resets its connection (RST)
//   p<k>       client k stops reading what the hub sends
//   w<d>       the event loop runs d + 1 rounds
//   q          the event loop runs until nothing is left to handle
//
// The slot table is checked after every operation. At the end every client closes and
// the events are drained: the table must then be empty, and every stream a client
// received must hold each sender's chat lines in the order sent (SEQ rises). A
// violation traps. Under AddressSanitizer freed memory is overwritten, so that Qt's own
// code, which is not instrumented, crashes when it reads a deleted socket.

#include "../helpers.h"
#include "startup.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QRegularExpression>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>
#include <sys/socket.h>

#if defined(__SANITIZE_ADDRESS__)
#define LANCHAT_FILL_FREED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LANCHAT_FILL_FREED 1
#endif
#endif

#ifdef LANCHAT_FILL_FREED
// Qt is not instrumented: unless freed memory is overwritten, its reads of a deleted
// socket see the old values and pass unnoticed.
extern "C" const char *__asan_default_options()
{
    return "max_free_fill_size=65536";
}
#endif

// The font cache that the window's widgets load lives as long as the application, which
// is never destroyed here; fontconfig keeps its pointers in a form the leak checker
// cannot follow.
extern "C" const char *__lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}

extern "C" const char *__lsan_default_options()
{
    return "print_suppressions=0";
}

namespace {

constexpr int MaxClients = 24;
constexpr int MaxOps = 400;
// What one connection sends at most. Far below the hub's read buffer and the loopback
// window, so each write reaches the hub whole and no chat line is ever cut in two.
constexpr qint64 MaxSentBytes = 32 * 1024;

[[noreturn]] void fail(const char *what, long a = 0, long b = 0)
{
    std::fprintf(stderr, "socket_fuzzer: %s (%ld, %ld)\n", what, a, b);
    std::fflush(stderr);
    __builtin_trap();
}

// Connections the hub has taken from its listening socket, over all inputs.
int &requestsSeen()
{
    static int n = 0;
    return n;
}

// The application and the hub window, made by the first input. They stay until the
// process ends: Qt cannot be taken down safely from an exit handler.
Window &hub()
{
    static Window *w = [] {
        chooseEventDispatcher();
        qputenv("QT_QPA_PLATFORM", "offscreen");
        static int argc = 1;
        static char name[] = "socket_fuzzer";
        static char *argv[] = {name, nullptr};
        new QApplication(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
        Window *h = Window::server(QStringLiteral("S"), freePort()).release();
        if (h->main->winsock().serverPort(0) == 0)
            fail("the hub does not listen");
        QObject::connect(&h->main->winsock(), &Winsock::ConnectionRequest, [] { ++requestsSeen(); });
        return h;
    }();
    return *w;
}

class Run
{
public:
    void script(const QByteArray &input)
    {
        int ops = 0;
        for (const QByteArray &line : input.split('\n')) {
            if (++ops > MaxOps)
                break;
            step(line);
            checkTable();
        }
        finish();
    }

private:
    Window &w = hub();
    const quint16 port = w.main->winsock().serverPort(0);
    std::array<std::unique_ptr<RawPeer>, MaxClients> peers;
    std::array<qint64, MaxClients> sent{};
    std::vector<std::unique_ptr<RawPeer>> gone; // closed; kept for what they received
    int seq = 0;
    int connects = 0;
    const int requestsBefore = requestsSeen();
    std::array<int, MaxClients> connection{}; // number of client k's current connection

    static int digit(char c) { return c >= '0' && c <= '9' ? c - '0' : int(uchar(c)) % 10; }

    void step(const QByteArray &line)
    {
        if (line.isEmpty())
            return;
        const char op = line[0];
        const int k = line.size() > 1 ? (int(uchar(line[1])) + 16 * MaxClients - 'a') % MaxClients : 0;
        QByteArray text = line.mid(2);
        text.replace('#', '?');
        RawPeer *p = peers[k].get();

        switch (op) {
        case 'c':
            connectClient(k);
            break;
        case 'r':
            connectClient(k);
            send(k, "_RqSck _Cnnct " + (text.isEmpty() ? name(k) : text));
            break;
        case 'm':
            send(k, chatLine(k) + text);
            break;
        case 'f': {
            QByteArray flood;
            for (int i = 20 * (digit(text.isEmpty() ? '0' : text[0]) + 1); i > 0; --i)
                flood += chatLine(k);
            send(k, flood);
            break;
        }
        case 's':
            send(k, text);
            break;
        case 'x':
            if (p)
                p->socket.disconnectFromHost();
            retire(k);
            break;
        case 'z':
            if (p) {
                const linger reset{1, 0};
                ::setsockopt(int(p->socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
                p->socket.abort();
            }
            retire(k);
            break;
        case 'p':
            if (p) {
                QObject::disconnect(&p->socket, &QTcpSocket::readyRead, nullptr, nullptr);
                p->socket.setReadBufferSize(4096);
            }
            break;
        case 'w':
            for (int i = digit(line.size() > 1 ? line[1] : '0'); i >= 0; --i)
                QCoreApplication::processEvents();
            break;
        case 'q':
            drain();
            break;
        default:
            break;
        }
    }

    static QByteArray name(int k) { return "n" + QByteArray::number(k); }
    QByteArray chatLine(int k)
    {
        return "_SendM " + name(k) + " >> k" + QByteArray::number(connection[k]) + '#' + QByteArray::number(++seq) + '.';
    }

    void connectClient(int k)
    {
        if (peers[k])
            return;
        // Connections wait in the listening socket's backlog until the hub takes them.
        if (++connects % 32 == 0)
            QCoreApplication::processEvents();
        connection[k] = connects;
        auto p = std::make_unique<RawPeer>(port);
        if (!p->waitConnected())
            fail("a client could not connect to the hub", k);
        peers[k] = std::move(p);
        sent[k] = 0;
    }

    void send(int k, const QByteArray &bytes)
    {
        RawPeer *p = peers[k].get();
        if (!p || p->socket.state() != QAbstractSocket::ConnectedState || sent[k] + bytes.size() > MaxSentBytes)
            return;
        sent[k] += bytes.size();
        p->send(bytes);
    }

    void retire(int k)
    {
        if (peers[k])
            gone.push_back(std::move(peers[k]));
    }

    qint64 receivedTotal() const
    {
        qint64 n = 0;
        for (const auto &p : peers)
            n += p ? p->received.size() : 0;
        for (const auto &p : gone)
            n += p->received.size();
        return n;
    }

    // Runs the event loop until, for three rounds in a row, the hub has nothing waiting,
    // no client has anything left to write and nothing more has been received.
    void drain()
    {
        QElapsedTimer clock;
        clock.start();
        qint64 before = receivedTotal();
        for (int still = 0; still < 3 && !clock.hasExpired(500);) {
            QCoreApplication::processEvents();
            bool writing = false;
            for (const auto &p : peers)
                writing = writing || (p && p->socket.bytesToWrite() > 0);
            const qint64 now = receivedTotal();
            still = now == before && !writing ? still + 1 : 0;
            before = now;
        }
    }

    void checkTable() const
    {
        const SlotTable &t = w.state.slotTable;
        if (t.SizeOfClient < 0 || t.SizeOfClient > MaxSlots || t.ConnCount != t.SizeOfClient)
            fail("slot counters", t.SizeOfClient, t.ConnCount);
        for (int i = 1; i <= MaxSlots; ++i) {
            const bool inTable = i <= t.SizeOfClient;
            if (w.main->winsock().isLoaded(i) != inTable)
                fail("an element is loaded above the top slot, or missing below it", i, t.SizeOfClient);
            if (t.ClosedSlot[i] != 0 && (!inTable || t.ClosedSlot[i] != i))
                fail("a closed mark is wrong", i, t.ClosedSlot[i]);
        }
    }

    static void checkOrder(const QByteArray &stream)
    {
        // Only the harness's own chat lines count: a name registered from a broken tag
        // (the seventh character is skipped, so "_Cnnct_SendM ..." registers "SendM ...")
        // may carry a marker too, and the name list and join notices repeat it.
        static const QRegularExpression marker(QStringLiteral("_SendM n\\d+ >> k(\\d+)#(\\d+)\\."));
        // Order holds per connection: a client that left and came back is another sender,
        // whose lines may be handled before the rest of its old connection's.
        QHash<int, int> last;
        for (auto it = marker.globalMatch(QString::fromLatin1(stream)); it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            const int k = m.captured(1).toInt();
            const int s = m.captured(2).toInt();
            if (s <= last.value(k)) {
                std::fprintf(stderr, "received: %s\n", stream.left(2000).constData());
                fail("a sender's chat lines were relayed out of order", k, s);
            }
            last[k] = s;
        }
    }

    // Every client closes; once the hub has handled all of it, its table must be empty.
    void finish()
    {
        for (int k = 0; k < MaxClients; ++k) {
            if (peers[k])
                peers[k]->socket.disconnectFromHost();
            retire(k);
        }
        // Also the connections still waiting to be taken, so that none is left to the next
        // input, whose clients would get its lines.
        const SlotTable &t = w.state.slotTable;
        QElapsedTimer clock;
        clock.start();
        while ((t.SizeOfClient > 0 || requestsSeen() - requestsBefore < connects) && !clock.hasExpired(5000))
            QCoreApplication::processEvents();
        checkTable();
        if (t.SizeOfClient != 0)
            fail("clients are left in the table after all have gone", t.SizeOfClient);
        for (const auto &p : gone)
            checkOrder(p->received);
        gone.clear();
        QCoreApplication::processEvents(); // sockets released by the hub are deleted
        // The next input meets a hub like a new one: only its own name in the list.
        NameListModel &names = w.state.NameList;
        while (names.count() > 1)
            names.removeAt(names.count() - 1);
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Run().script(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    return 0;
}
