// SPDX-License-Identifier: MIT
// Fuzz target over the hub's and the client's chunk handling.
//
// The input is read as UTF-8 (invalid bytes become U+FFFD) and taken as a script,
// one operation a line. The first character of a line is the operation, the second
// (where the operation needs one) names a slot: a digit is that slot, any other
// character its code point modulo 52. The rest of the line is text, in which "\n",
// "\r", "\0" and "\\" stand for a line feed, a carriage return, a NUL and a backslash.
//
//   c          a connection request on the hub's listening socket
//   d<s>text   the chunk "text" arrives on slot s of the hub
//   x<s>       the client of slot s closes its connection
//   e<s>text   slot s reports an error with "text" as its description
//   b text     the hub's own chat line, sent to every open slot with yields
//   m text     a minimize notice, sent to every open slot without yields
//   y<n>line   the operation "line" runs inside the hub's n-th yield from now
//              (n = 1 + the digit's value; nested "y" lines make yields inside yields)
//   r text     the chunk "text" arrives at a client
//   k          the client's connection to the hub is made
//   q          the hub closes the client's connection
//   f text     the client's connection fails with "text"
//
// Events on slots are raised only for elements that are loaded and connected, as the
// real socket array does. After every operation, including those run inside a yield,
// the harness checks the slot table and everything sent since the last check, and
// traps on the first violation.

#include "../fakes.h"
#include "client/clientendpoint.h"
#include "net/wireformat.h"
#include "server/serverhub.h"

#include <QCoreApplication>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace {

[[noreturn]] void fail(const char *what, const QString &detail = {})
{
    std::fprintf(stderr, "chunk_fuzzer: %s %s\n", what, detail.toUtf8().constData());
    std::fflush(stderr);
    __builtin_trap();
}

// Remembers sends on an element that is loaded but whose connection is closed: the
// text was meant for a client that has gone, or for one that took its slot later.
class FuzzSockets : public FakeSockets
{
public:
    using FakeSockets::sendData;
    void sendData(int index, const QByteArray &utf8) override
    {
        if (isLoaded(index) && index != 0 && !isConnected(index))
            sendsOnClosed.append(index);
        FakeSockets::sendData(index, utf8);
    }
    QList<int> sendsOnClosed;
};

constexpr int MaxOps = 600;      // operations taken from one input, nested ones included
constexpr int MaxNesting = 6;    // yields inside yields

// A DataArrival of the hub that is still running (it yields inside its walks).
struct Reading
{
    int slot;
    quint64 serial;
    bool senderLeft;
};

struct Pending
{
    int countdown;
    QString line;
};

class Run
{
public:
    Run()
    {
        hubState.settings.ServerMode = true;
        hubState.settings.HandleName = QStringLiteral("S");
        hubState.resetForChatWindow();
        hubState.NameList.add(hubState.settings.HandleName);
        hub.setDoEvents([this] { yield(); });
        // The innermost running DataArrival is the one that registers: never for a
        // client that has left during it.
        QObject::connect(&hubState.NameList, &NameListModel::rowsInserted, [this] {
            if (!reading.isEmpty() && reading.last().senderLeft)
                fail("a departed client's chunk registered a name on slot", QString::number(reading.last().slot));
        });

        clientState.settings.HandleName = QStringLiteral("K");
        clientState.resetForChatWindow();
    }

    void script(const QString &text)
    {
        const QStringList lines = text.split(u'\n');
        for (const QString &line : lines) {
            if (ops >= MaxOps)
                break;
            step(line);
        }
    }

private:
    static int slotOf(QChar c)
    {
        if (c >= u'0' && c <= u'9')
            return c.unicode() - u'0';
        return c.unicode() % 52;
    }

    static QString unescape(QStringView s)
    {
        QString out;
        out.reserve(s.size());
        for (qsizetype i = 0; i < s.size(); ++i) {
            if (s[i] == u'\\' && i + 1 < s.size()) {
                const QChar n = s[++i];
                if (n == u'n')
                    out += u'\n';
                else if (n == u'r')
                    out += u'\r';
                else if (n == u'0')
                    out += QChar(0);
                else
                    out += n;
            } else {
                out += s[i];
            }
        }
        return out;
    }

    // A slot whose element would raise events: loaded and still connected.
    bool live(int slot) const { return slot >= 1 && sockets.isLoaded(slot) && sockets.isConnected(slot); }

    void step(const QString &line)
    {
        ++ops;
        run(line);
        for (Reading &r : reading)
            if (sockets.serial(r.slot) != r.serial || hubState.slotTable.ClosedSlot[r.slot] != 0)
                r.senderLeft = true;
        checkHub();
        checkClient();
    }

    void run(const QString &line)
    {
        if (line.isEmpty())
            return;
        const QChar op = line[0];
        const int slot = line.size() > 1 ? slotOf(line[1]) : -1;
        const QString text = unescape(QStringView(line).mid(qMin<qsizetype>(2, line.size())));
        const QString plain = unescape(QStringView(line).mid(1));

        switch (op.unicode()) {
        case 'c':
            hub.ConnectionRequest(0, ++nextRequest);
            break;
        case 'd':
            if (live(slot)) {
                sockets.incoming.insert(slot, text);
                reading.append({slot, sockets.serial(slot), false});
                hub.DataArrival(slot);
                reading.removeLast();
            }
            break;
        case 'x':
            if (live(slot))
                hub.Close(slot);
            break;
        case 'e':
            if (live(slot))
                hub.Error(slot, text);
            break;
        case 'b': {
            QString t = plain;
            t.remove(u'_'); // the chat window's own line is not what is fuzzed here
            hub.BroadcastToClients(WireFormat::chatMessage(WireFormat::chatLine(QStringLiteral("S"), t)));
            break;
        }
        case 'm': {
            QString t = plain;
            t.remove(u'_');
            hub.sendToOpenSlots(WireFormat::chatMessage(t));
            break;
        }
        case 'y':
            if (slot >= 0 && pending.size() < 64)
                pending.append({slot % 10 + 1, line.mid(2)});
            break;
        case 'r':
            clientSockets.incoming.insert(0, plain);
            client.DataArrival(0);
            break;
        case 'k':
            client.Connect(0);
            break;
        case 'q':
            client.Close(0);
            break;
        case 'f':
            client.Error(0, plain);
            break;
        default:
            break;
        }
    }

    void yield()
    {
        // The table must be whole whenever a walk lets other events in.
        checkHub();
        for (auto &p : pending)
            --p.countdown;
        QList<QString> due;
        for (qsizetype i = 0; i < pending.size();) {
            if (pending[i].countdown <= 0) {
                due.append(pending[i].line);
                pending.removeAt(i);
            } else {
                ++i;
            }
        }
        if (nesting >= MaxNesting)
            return;
        ++nesting;
        for (const QString &line : due) {
            if (ops >= MaxOps)
                break;
            step(line);
        }
        --nesting;
    }

    void checkHub()
    {
        const SlotTable &t = hubState.slotTable;
        if (t.SizeOfClient != t.ConnCount)
            fail("SizeOfClient differs from ConnCount");
        if (t.SizeOfClient < 0 || t.SizeOfClient > MaxSlots)
            fail("SizeOfClient out of range", QString::number(t.SizeOfClient));
        if (!sockets.isLoaded(0))
            fail("listening element unloaded");
        if (t.ClosedSlot[0] != 0)
            fail("slot 0 marked closed");
        for (int i = 1; i <= MaxSlots; ++i) {
            if (t.ClosedSlot[i] != 0 && (i >= t.SizeOfClient || t.ClosedSlot[i] != i))
                fail("bad ClosedSlot at", QString::number(i));
            if (i <= t.SizeOfClient && !sockets.isLoaded(i))
                fail("element inside the table not loaded:", QString::number(i));
            if (i > t.SizeOfClient && sockets.isLoaded(i))
                fail("element above the table loaded:", QString::number(i));
        }
        for (auto it = sockets.loaded.cbegin(); it != sockets.loaded.cend(); ++it)
            if (it.key() < 0 || it.key() > t.SizeOfClient)
                fail("stray element loaded:", QString::number(it.key()));
        if (!sockets.sendsOnMissing.isEmpty())
            fail("send on an element that is not loaded:", QString::number(sockets.sendsOnMissing.first()));
        if (!sockets.sendsOnClosed.isEmpty())
            fail("send on a closed element:", QString::number(sockets.sendsOnClosed.first()));
        for (const SentRecord &r : sockets.sent) {
            if (r.index == 0)
                fail("send on the listening socket:", r.text);
            // A tagged message carries no "_" after its tag; a raw line (not starting
            // with "_") is relayed as it came and is exempt.
            if (r.text.startsWith(u'_') && r.text.indexOf(u'_', 1) >= 0)
                fail("relayed value holds an underscore:", r.text);
        }
        sockets.sent.clear();
        for (const QString &name : hubState.NameList.entries())
            if (name.contains(u'_'))
                fail("hub name list entry holds an underscore:", name);
    }

    void checkClient()
    {
        if (clientState.OwnSlot < 0)
            fail("OwnSlot negative:", QString::number(clientState.OwnSlot));
        if (!clientSockets.sendsOnMissing.isEmpty())
            fail("client sent on an element that is not loaded");
        for (const SentRecord &r : clientSockets.sent)
            if (r.index != 0)
                fail("client sent on an element other than 0");
        clientSockets.sent.clear();
        for (const QString &name : clientState.NameList.entries())
            if (name.contains(u'_'))
                fail("client name list entry holds an underscore:", name);
    }

    SessionState hubState;
    FuzzSockets sockets;
    ServerHub hub{hubState, sockets};

    SessionState clientState;
    FakeSockets clientSockets;
    ClientEndpoint client{clientState, clientSockets};

    QList<Pending> pending;
    QList<Reading> reading;
    qint64 nextRequest = 0;
    int ops = 0;
    int nesting = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The log gathers lines with a timer, which needs the application object.
    static QCoreApplication *app = [] {
        static int argc = 1;
        static char name[] = "chunk_fuzzer";
        static char *argv[] = {name, nullptr};
        return new QCoreApplication(argc, argv);
    }();
    Q_UNUSED(app);
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    Run run;
    run.script(text);
    return 0;
}
