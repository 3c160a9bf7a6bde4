// SPDX-License-Identifier: MIT
// The socket array's guarantees over real loopback connections: ordered, never nested
// arrivals per peer, unloading from inside a handler, refusals, text decoding, close and
// error reporting, the cap on what may wait unsent for one peer, and the joiner's rules
// for holding back a message the network split, on a clock of the test's own.

#include "net/messagejoiner.h"
#include "net/tcpcalls.h"
#include "net/winsock.h"
#include "rawpeer.h"

#include <cerrno>
#include <cstring>

using namespace Qt::StringLiterals;

namespace {

// A real socket array listening on a free loopback port: it takes each connection into
// the lowest free element and records the events it raises.
struct ListeningArray
{
    Winsock ws;
    quint16 port = 0;
    QList<QPair<QString, int>> events; // event name, index
    QStringList arrivals;
    std::function<void(int)> onArrival;
    std::function<void()> beforeAccept;

    ListeningArray()
    {
        QString error;
        ws.listen(0, 0, &error);
        port = ws.serverPort(0);
        QObject::connect(&ws, &Winsock::ConnectionRequest, [this](int, qint64 id) {
            if (beforeAccept)
                beforeAccept();
            for (int i = 1; i < Winsock::MaxElements; ++i) {
                if (!ws.isLoaded(i)) {
                    ws.load(i);
                    ws.accept(i, id);
                    events.append({QStringLiteral("accept"), i});
                    return;
                }
            }
        });
        QObject::connect(&ws, &Winsock::DataArrival, [this](int index) {
            events.append({QStringLiteral("data"), index});
            if (onArrival)
                onArrival(index);
            else
                arrivals << ws.getData(index);
        });
        QObject::connect(&ws, &Winsock::Close, [this](int index) { events.append({QStringLiteral("close"), index}); });
        QObject::connect(&ws, &Winsock::Error,
                         [this](int index, const QString &) { events.append({QStringLiteral("error"), index}); });
    }
    // Waits until the peer is connected and its connection taken (the n-th in all).
    bool accepted(RawPeer &p, int n = 1)
    {
        return p.waitConnected() && QTest::qWaitFor([&] { return count(QStringLiteral("accept")) == n; });
    }
    int count(const QString &what) const
    {
        return int(std::count_if(events.begin(), events.end(), [&](const auto &e) { return e.first == what; }));
    }
};

// The peer sends `first`. The array's handler reads what arrives and, on the arrival
// yieldWhen picks, has the peer send `then` and yields for `ms` inside the handler, as
// the hub's walks do. Both must arrive in order, and the handler never nested.
void yieldInsideTheHandler(ListeningArray &a, RawPeer &peer, const QByteArray &first, const QByteArray &then, int ms,
                           bool (*yieldWhen)(int calls, const QString &got))
{
    QString got;
    int calls = 0, depth = 0, maxDepth = 0;
    a.onArrival = [&](int index) {
        maxDepth = std::max(maxDepth, ++depth);
        got += a.ws.getData(index);
        if (yieldWhen(++calls, got)) {
            peer.send(then);
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < ms)
                QCoreApplication::processEvents();
        }
        --depth;
    };
    const auto uninstall = qScopeGuard([&] { a.onArrival = nullptr; }); // it refers to the locals
    peer.send(first);
    QTRY_COMPARE(got.size(), first.size() + then.size());
    QCOMPARE(got, QString::fromLatin1(first + then));
    QCOMPARE(maxDepth, 1);
}

} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private slots:
    void arrivalsAreNeverNestedAndKeepTheirOrder()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        yieldInsideTheHandler(a, p, "first"_ba, "second"_ba, 200, [](int, const QString &got) { return got == "first"_L1; });
        QCOMPARE(a.count(QStringLiteral("data")), 2);

        // More than one read's worth, and more than is ever held back to make a message
        // whole: the rest is raised by a later event, and a yield in that one must not let
        // the next text in ahead of it either.
        const QByteArray big(MessageJoiner::MaxHeldBytes + Connection::ReadBoundBytes, 'b');
        yieldInsideTheHandler(a, p, big, "tail"_ba, 200, [](int calls, const QString &) { return calls == 2; });

        // Text already waiting when the connection is accepted is raised by a queued
        // event rather than by the socket's own signal; a yield there is no different.
        for (int round = 0; round < 5; ++round) {
            RawPeer q(a.port);
            QVERIFY(q.waitConnected());
            yieldInsideTheHandler(a, q, "early"_ba, "late"_ba, 100, [](int calls, const QString &) { return calls == 1; });
        }
    }

    // What a peer sent in one write arrives in one event when the network splits it:
    // past the read bound, and in full segments of a LAN (here 1000 bytes). A short line
    // is raised at once.
    void aMessageTheNetworkSplitsArrivesWhole()
    {
        ListeningArray a;
        const qint64 timeOuts = MessageJoiner::timeOuts();
        const QByteArray longest = "_SendM "_ba + QString(32767, u'あ').toUtf8();
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        p.send(longest);
        QTRY_COMPARE(a.arrivals.join(QString()).size(), 32774);
        QCOMPARE(a.arrivals, QStringList{QString::fromUtf8(longest)});

        const int fd = connectBlocking(a.port, 1000);
        QVERIFY(fd >= 0);
        QTRY_COMPARE(a.count(QStringLiteral("accept")), 2);
        const int segment = tcp::state(fd).fullSegment;
        QVERIFY(segment > 0 && segment <= 1000);
        // Well within the shortest time anything is held.
        const auto sendAndSettle = [&](const QByteArray &bytes) {
            QCOMPARE(::send(fd, bytes.constData(), size_t(bytes.size()), 0), ssize_t(bytes.size()));
            QTest::qWait(50);
        };
        a.arrivals.clear();
        const QByteArray message = "_SendM "_ba + QByteArray(3 * segment, 'x');
        sendAndSettle(message.first(2 * segment));
        QCOMPARE(a.arrivals.size(), 0);
        sendAndSettle(message.sliced(2 * segment));
        QTRY_COMPARE(a.arrivals, QStringList{QString::fromLatin1(message)});
        sendAndSettle("_SendM short"_ba);
        QCOMPARE(a.arrivals.size(), 2);
        QCOMPARE(MessageJoiner::timeOuts(), timeOuts); // every hold ended by the rest coming
        ::close(fd);
    }

    // Which reads may end inside a message, with full segments of 1448 bytes: a whole
    // number of them from the read's start or from a message start in it, also when the
    // peer's segments come shorter by acknowledgement options. What is held begins at the
    // last message start.
    void joinerHoldsBackFromTheLastMessageStart()
    {
        const QByteArray start = "_SendM "_ba;
        const auto held = [&](const QByteArray &read, bool shortened = false) {
            MessageJoiner j;
            const tcp::State lan{1448, 0, 0, 0, shortened};
            return read.size() - j.take(read, {}, &lan).size();
        };
        QCOMPARE(held(start + QByteArray(1441, 'x')), 1448);                    // one full segment
        QCOMPARE(held(start + QByteArray(1442, 'x')), 0);                       // a short last one
        QCOMPARE(held(start + "a" + start + QByteArray(2 * 1448 - 7, 'x')), 2 * 1448); // from the second
        QCOMPARE(held(start + QByteArray(1448 + 1436 - 7, 'x')), 0);            // mixed sizes...
        QCOMPARE(held(start + QByteArray(1448 + 1436 - 7, 'x'), true), 1448 + 1436); // ...while shortened
        QCOMPARE(held(QByteArray(200, 'x')), 0);                                 // a short read
        MessageJoiner j;
        QCOMPARE(j.take(start + "a" + start + "b", {false, true}, nullptr), start + "a"); // more waits
        QCOMPARE(j.take(QByteArray(MessageJoiner::MaxHeldBytes, 'b'), {true, false}, nullptr).size(),
                 MessageJoiner::MaxHeldBytes + 8);                               // past the bound
        // A read the bound cut short ends inside a segment: the next one is judged by the
        // segments counted from where the writes before may have begun.
        MessageJoiner k;
        const tcp::State lan{1448};
        const QByteArray cut = QByteArray(300, 'a') + start + QByteArray(693, 'x');
        const QByteArray twoSegments(2 * 1448 - cut.size(), 'y'); // from the cut read's start
        QCOMPARE(k.take(cut, {true, false}, &lan), QByteArray(300, 'a'));
        QCOMPARE(k.take(twoSegments, {}, &lan), QByteArray());
        QCOMPARE(k.take(start + "z", {}, &lan), cut.sliced(300) + twoSegments + start + "z");
        QCOMPARE(k.take(cut, {true, false}, &lan), QByteArray(300, 'a'));
        QCOMPARE(k.take("yy"_ba, {}, &lan), cut.sliced(300) + "yy"); // on no segment's end
    }

    // How long a hold waits, on the test's clock: twice the retransmission timeout within
    // its bounds, the whole HoldMaxMs while the path loses segments, never past HoldMaxMs
    // since the hold began; more that waits unread is read first; a hold that ends with
    // nothing more delivers what is held, and is counted.
    void joinerWaitsForTheRestThenDelivers()
    {
        qint64 now = 100000;
        const auto clock = [&] { return now; };
        const QByteArray part = "_SendM "_ba + QByteArray(1441, 'x'); // one full segment
        const auto quietFor = [&](tcp::State lan) {
            MessageJoiner j(nullptr, clock);
            j.take(part, {}, &lan);
            return j.waitMs();
        };
        QCOMPARE(quietFor({1448, 0}), MessageJoiner::QuietUnknownMs);
        QCOMPARE(quietFor({1448, 300000}), 600);
        QCOMPARE(quietFor({1448, 50000}), MessageJoiner::QuietMinMs);
        QCOMPARE(quietFor({1448, 5000000}), MessageJoiner::QuietMaxMs);
        QCOMPARE(quietFor({1448, 300000, 0, 0, true}), MessageJoiner::HoldMaxMs); // segments lost

        MessageJoiner j(nullptr, clock);
        const qint64 timeOuts = MessageJoiner::timeOuts();
        int wakes = 0;
        QObject::connect(&j, &MessageJoiner::wake, [&] { ++wakes; });
        j.setMoreWaiting([] { return true; });
        const tcp::State lan{1448, 300000};
        QCOMPARE(j.take(part, {}, &lan), QByteArray());
        now += 600;
        j.expire(); // more waits: it is read first, and the hold goes on
        QVERIFY(!j.isDue());
        QCOMPARE(wakes, 1);
        QCOMPARE(j.take(QByteArray(1448, 'y'), {}, &lan), QByteArray());
        now += 2000;
        QCOMPARE(j.take(QByteArray(1448, 'z'), {}, &lan), QByteArray());
        QCOMPARE(j.waitMs(), 400); // what is left of HoldMaxMs
        now += 400;
        j.expire(); // delivered at HoldMaxMs, although more waits
        QVERIFY(j.isDue());
        QCOMPARE(wakes, 2);
        QCOMPARE(MessageJoiner::timeOuts(), timeOuts + 1);
        QCOMPARE(j.takeHeld(), part + QByteArray(1448, 'y') + QByteArray(1448, 'z'));
        QVERIFY(!j.isHolding());
    }

    void unloadInsideItsOwnHandlerRaisesNothingMore()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        a.onArrival = [&](int index) {
            a.ws.getData(index);
            a.ws.unload(index);
        };
        p.send("bye"_ba);
        QTRY_COMPARE(a.count(QStringLiteral("data")), 1);
        p.send("more"_ba);
        p.socket.disconnectFromHost();
        QTest::qWait(200);
        QCOMPARE(a.count(QStringLiteral("data")), 1);
        QCOMPARE(a.count(QStringLiteral("close")), 0);
        QVERIFY(!a.ws.isLoaded(1));
    }

    void requestNobodyAcceptsIsClosed()
    {
        Winsock ws;
        QString error;
        QVERIFY(ws.listen(0, 0, &error));
        int requests = 0;
        QObject::connect(&ws, &Winsock::ConnectionRequest, [&] { ++requests; });
        QTcpSocket s;
        s.connectToHost(QHostAddress::LocalHost, ws.serverPort(0));
        QVERIFY(s.waitForConnected(3000));
        QTRY_COMPARE(requests, 1);
        QTRY_COMPARE(s.state(), QAbstractSocket::UnconnectedState);
    }

    // The refused peer gets the text, then the end of the connection.
    void refusedPeerIsToldWhyThenClosed()
    {
        Winsock ws;
        QString error;
        QVERIFY(ws.listen(0, 0, &error));
        QObject::connect(&ws, &Winsock::ConnectionRequest, [&](int, qint64 id) { ws.refuse(id, "full"_ba); });
        RawPeer quiet(ws.serverPort(0));
        QTRY_COMPARE(quiet.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(quiet.received, "full"_ba);
        QCOMPARE(quiet.socket.error(), QAbstractSocket::RemoteHostClosedError);

        // A peer that goes on sending, seen from a bare socket, which tells an orderly
        // close from a reset: with the half close, what it sends is read and dropped until
        // it closes too, so it never sees a reset.
        const int fd = connectBlocking(ws.serverPort(0));
        QVERIFY(fd >= 0);
        QByteArray got;
        bool reset = false;
        const auto ended = [&] { // reads without waiting: true once the connection has ended
            char buf[64];
            const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
            got.append(buf, std::max<ssize_t>(n, 0));
            reset = reset || (n < 0 && errno == ECONNRESET);
            return n == 0 || reset;
        };
        ::send(fd, "hello", 5, MSG_NOSIGNAL);
        QTRY_VERIFY(ended());
        ::send(fd, "more", 4, MSG_NOSIGNAL);
        QTest::qWait(100);
        ended();
        ::close(fd);
        QCOMPARE(got, "full"_ba);
        QVERIFY(!reset);
    }

    void textIsDecodedWholeAndInvalidBytesBecomeReplacements()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        // One byte at a time, Japanese included.
        const QByteArray jp = QStringLiteral("_SendM 日本語テキスト").toUtf8();
        for (char c : jp) {
            p.send(QByteArray(1, c));
            QTest::qWait(1);
        }
        QTRY_COMPARE(a.arrivals.join(QString()), QStringLiteral("_SendM 日本語テキスト"));
        a.arrivals.clear();

        // 0xFF, an overlong "/", a lone continuation byte, NUL.
        p.send(QByteArray("a\xff" "b\xc0\xaf" "c\x80" "d", 8) + QByteArray(1, '\0') + "e");
        QTRY_VERIFY(a.arrivals.join(QString()).endsWith(QLatin1Char('e')));
        const QString got = a.arrivals.join(QString());
        QVERIFY(!got.contains(QChar(0)));
        QVERIFY(got.contains(QChar::ReplacementCharacter));
        QVERIFY(got.startsWith(QStringLiteral("a\uFFFDb")));
        QVERIFY(got.toUtf8().isValidUtf8());
    }

    void closeComesAfterTheLastText()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        p.send("last words"_ba);
        p.socket.disconnectFromHost();
        QTRY_COMPARE(a.count(QStringLiteral("close")), 1);
        QCOMPARE(a.arrivals.join(QString()), QStringLiteral("last words"));
        QCOMPARE(a.events.last().first, QStringLiteral("close"));
        QCOMPARE(a.count(QStringLiteral("error")), 0);

        // Also when the peer has left before its connection was taken.
        ListeningArray late;
        late.beforeAccept = [] { QTest::qWait(100); };
        RawPeer q(late.port);
        QVERIFY(q.waitConnected());
        q.send("hello"_ba);
        q.socket.disconnectFromHost();
        QTRY_COMPARE(late.count(QStringLiteral("close")), 1);
        QCOMPARE(late.arrivals.join(QString()), QStringLiteral("hello"));
        QCOMPARE(late.events.last().first, QStringLiteral("close"));
    }

    void resetIsAClose()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        p.socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        p.socket.abort();
        QTRY_COMPARE(a.count(QStringLiteral("close")) + a.count(QStringLiteral("error")), 1);
        QCOMPARE(a.count(QStringLiteral("close")), 1);
    }

    void closingOurselvesRaisesNothing()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        a.ws.close(1);
        a.ws.close(1); // harmless twice
        QTRY_COMPARE(p.socket.state(), QAbstractSocket::UnconnectedState);
        QTest::qWait(50);
        QCOMPARE(a.count(QStringLiteral("close")), 0);

        // What was sent before the close reaches a peer that reads it only later, whole,
        // and then the orderly end of the connection, not a reset.
        const int fd = connectBlocking(a.port);
        QVERIFY(fd >= 0);
        QTRY_COMPARE(a.count(QStringLiteral("accept")), 2);
        QByteArray sent;
        const QByteArray chunk(64 * 1024, 'y');
        while (a.ws.bytesQueued(2) == 0 && sent.size() < 8 * 1024 * 1024) {
            a.ws.sendData(2, chunk);
            sent += chunk;
        }
        QVERIFY(a.ws.bytesQueued(2) > 0); // more than the connection took at once
        a.ws.close(2);
        QTest::qWait(20);
        const timeval bound{0, 100000};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        QByteArray got;
        char buffer[65536];
        ssize_t n = -1;
        for (int i = 0; i < 1000 && n != 0; ++i) {
            QCoreApplication::processEvents();
            n = ::recv(fd, buffer, sizeof buffer, 0);
            QVERIFY2(n >= 0 || errno == EAGAIN, strerror(errno));
            got.append(buffer, std::max<ssize_t>(n, 0));
        }
        ::close(fd);
        QCOMPARE(n, ssize_t(0));
        QCOMPARE(got, sent);
    }

    void connectionRefusedIsAnError()
    {
        Winsock ws;
        QString description;
        QObject::connect(&ws, &Winsock::Error, [&](int, const QString &d) { description = d; });
        ws.connectToHost(0, QStringLiteral("127.0.0.1"), freePort());
        QTRY_VERIFY(!description.isEmpty());
        QVERIFY(!ws.isConnected(0));
    }

    void aPeerThatDoesNotReadIsDropped()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(p.waitConnected());
        // The peer's side stops taking data almost at once.
        QObject::disconnect(&p.socket, &QTcpSocket::readyRead, nullptr, nullptr);
        p.socket.setReadBufferSize(1);
        QTRY_COMPARE(a.count(QStringLiteral("accept")), 1);
        const QByteArray line(1000, 'x');
        // Far more than the socket buffers of both ends and the cap together.
        for (int i = 0; i < 20000 && a.ws.isConnected(1); ++i) {
            a.ws.sendData(1, line);
            if (i % 100 == 0)
                QCoreApplication::processEvents();
            QVERIFY(a.ws.bytesQueued(1) <= Connection::MaxQueuedBytes);
        }
        QVERIFY(!a.ws.isConnected(1));
        QTRY_COMPARE(a.count(QStringLiteral("close")), 1);
    }

    void keepAliveIsOn()
    {
        ListeningArray a;
        RawPeer p(a.port);
        QVERIFY(a.accepted(p));
        Winsock client;
        bool connected = false;
        QObject::connect(&client, &Winsock::Connect, [&] { connected = true; });
        client.connectToHost(0, QStringLiteral("127.0.0.1"), a.port);
        QTRY_VERIFY(connected);
        QVERIFY(client.isConnected(0));
        // Both ends' sockets (the raw peer's and the client's at the hub) are checked
        // through the system's own options.
        QTRY_COMPARE(a.ws.findChildren<QTcpSocket *>().size(), 2);
        const auto sockets = client.findChildren<QTcpSocket *>() + a.ws.findChildren<QTcpSocket *>();
        for (const QTcpSocket *s : sockets) {
            QCOMPARE(s->state(), QAbstractSocket::ConnectedState);
            const auto option = [fd = int(s->socketDescriptor())](int level, int name) {
                int value = -1;
                socklen_t size = sizeof value;
                return ::getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
            };
            QCOMPARE(option(SOL_SOCKET, SO_KEEPALIVE), 1);
            // The timing of the probes, and the time-out that also holds while data waits.
            QCOMPARE(option(IPPROTO_TCP, TCP_KEEPIDLE), tcp::KeepAliveIdleSeconds);
            QCOMPARE(option(IPPROTO_TCP, TCP_KEEPINTVL), tcp::KeepAliveIntervalSeconds);
            QCOMPARE(option(IPPROTO_TCP, TCP_KEEPCNT), tcp::KeepAliveProbes);
            QCOMPARE(option(IPPROTO_TCP, TCP_USER_TIMEOUT), tcp::UnacknowledgedSeconds * 1000);
        }
    }
};

QTEST_GUILESS_MAIN(TestWinsock)
#include "tst_winsock.moc"
