// The socket array's guarantees over real loopback connections: ordered, never nested
// arrivals per peer, unloading from inside a handler, text decoding, close and error
// reporting, and the cap on what may wait unsent for one peer.

#include "net/winsock.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

struct Hub
{
    Winsock ws;
    quint16 port = 0;
    QList<QPair<QString, int>> events; // event name, index
    QStringList arrivals;
    std::function<void(int)> onArrival;
    std::function<void()> beforeAccept;

    Hub()
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
    int count(const QString &what) const
    {
        return int(std::count_if(events.begin(), events.end(), [&](const auto &e) { return e.first == what; }));
    }
};

struct Peer
{
    QTcpSocket s;
    explicit Peer(quint16 port)
    {
        s.connectToHost(QHostAddress::LocalHost, port);
        s.waitForConnected(3000);
    }
    void send(const QByteArray &b)
    {
        s.write(b);
        s.flush();
    }
};

} // namespace

class TestWinsock : public QObject
{
    Q_OBJECT

private slots:
    void arrivalsAreNeverNestedAndKeepTheirOrder()
    {
        Hub h;
        Peer p(h.port);
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        int depth = 0, maxDepth = 0;
        QString all;
        h.onArrival = [&](int index) {
            ++depth;
            maxDepth = std::max(maxDepth, depth);
            all += h.ws.getData(index);
            if (all == QStringLiteral("first")) {
                // A yield inside the handler while the peer goes on sending.
                p.send("second");
                QElapsedTimer t;
                t.start();
                while (t.elapsed() < 200)
                    QCoreApplication::processEvents();
            }
            --depth;
        };
        p.send("first");
        QTRY_COMPARE(all, QStringLiteral("firstsecond"));
        QCOMPARE(maxDepth, 1);
        QCOMPARE(h.count(QStringLiteral("data")), 2);

        // More than one read's worth: the rest is raised by a later event, and a yield in
        // that one must not let the next text in ahead of it either.
        all.clear();
        int calls = 0;
        const QByteArray big(Winsock::ReadBufferBytes + 5000, 'b');
        h.onArrival = [&](int index) {
            ++depth;
            maxDepth = std::max(maxDepth, depth);
            all += h.ws.getData(index);
            if (++calls == 2) {
                p.send("tail");
                QElapsedTimer t;
                t.start();
                while (t.elapsed() < 200)
                    QCoreApplication::processEvents();
            }
            --depth;
        };
        p.send(big);
        QTRY_COMPARE(all.size(), big.size() + 4);
        QCOMPARE(all, QString::fromLatin1(big) + QStringLiteral("tail"));
        QCOMPARE(maxDepth, 1);

        // Text already waiting when the connection is accepted is raised by a queued
        // event rather than by the socket's own signal; a yield there is no different.
        for (int round = 0; round < 5; ++round) {
            Peer q(h.port);
            q.send("early");
            QString got;
            bool sent = false;
            h.onArrival = [&](int index) {
                ++depth;
                maxDepth = std::max(maxDepth, depth);
                got += h.ws.getData(index);
                if (!sent) {
                    sent = true;
                    q.send("late");
                    QElapsedTimer t;
                    t.start();
                    while (t.elapsed() < 100)
                        QCoreApplication::processEvents();
                }
                --depth;
            };
            QTRY_COMPARE(got, QStringLiteral("earlylate"));
            QCOMPARE(maxDepth, 1);
        }
    }

    void unloadInsideItsOwnHandlerRaisesNothingMore()
    {
        Hub h;
        Peer p(h.port);
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        h.onArrival = [&](int index) {
            h.ws.getData(index);
            h.ws.unload(index);
        };
        p.send("bye");
        QTRY_COMPARE(h.count(QStringLiteral("data")), 1);
        p.send("more");
        p.s.disconnectFromHost();
        QTest::qWait(200);
        QCOMPARE(h.count(QStringLiteral("data")), 1);
        QCOMPARE(h.count(QStringLiteral("close")), 0);
        QVERIFY(!h.ws.isLoaded(1));
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

    void textIsDecodedWholeAndInvalidBytesBecomeReplacements()
    {
        Hub h;
        Peer p(h.port);
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        // One byte at a time, Japanese included.
        const QByteArray jp = QStringLiteral("_SendM 日本語テキスト").toUtf8();
        for (char c : jp) {
            p.send(QByteArray(1, c));
            QTest::qWait(1);
        }
        QTRY_COMPARE(h.arrivals.join(QString()), QStringLiteral("_SendM 日本語テキスト"));
        h.arrivals.clear();

        // 0xFF, an overlong "/", a lone continuation byte, NUL.
        p.send(QByteArray("a\xff" "b\xc0\xaf" "c\x80" "d", 8) + QByteArray(1, '\0') + "e");
        QTRY_VERIFY(h.arrivals.join(QString()).endsWith(QLatin1Char('e')));
        const QString got = h.arrivals.join(QString());
        QVERIFY(!got.contains(QChar(0)));
        QVERIFY(got.contains(QChar::ReplacementCharacter));
        QVERIFY(got.startsWith(QStringLiteral("a\uFFFDb")));
        QVERIFY(got.toUtf8().isValidUtf8());
    }

    void closeComesAfterTheLastText()
    {
        Hub h;
        Peer p(h.port);
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        p.send("last words");
        p.s.disconnectFromHost();
        QTRY_COMPARE(h.count(QStringLiteral("close")), 1);
        QCOMPARE(h.arrivals.join(QString()), QStringLiteral("last words"));
        QCOMPARE(h.events.last().first, QStringLiteral("close"));
        QCOMPARE(h.count(QStringLiteral("error")), 0);

        // Also when the peer has left before its connection was taken.
        Hub late;
        late.beforeAccept = [] { QTest::qWait(100); };
        Peer q(late.port);
        q.send("hello");
        q.s.disconnectFromHost();
        QTRY_COMPARE(late.count(QStringLiteral("close")), 1);
        QCOMPARE(late.arrivals.join(QString()), QStringLiteral("hello"));
        QCOMPARE(late.events.last().first, QStringLiteral("close"));
    }

    void resetIsAClose()
    {
        Hub h;
        Peer p(h.port);
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        p.s.setSocketOption(QAbstractSocket::LowDelayOption, 1);
        p.s.abort();
        QTRY_COMPARE(h.count(QStringLiteral("close")) + h.count(QStringLiteral("error")), 1);
        QCOMPARE(h.count(QStringLiteral("close")), 1);
    }

    void closingOurselvesRaisesNothing()
    {
        Hub h;
        Peer p(h.port);
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        h.ws.close(1);
        h.ws.close(1); // harmless twice
        QTRY_COMPARE(p.s.state(), QAbstractSocket::UnconnectedState);
        QTest::qWait(50);
        QCOMPARE(h.count(QStringLiteral("close")), 0);
    }

    void connectionRefusedIsAnError()
    {
        Winsock ws;
        QString description;
        QObject::connect(&ws, &Winsock::Error, [&](int, const QString &d) { description = d; });
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        const quint16 port = probe.serverPort();
        probe.close();
        ws.connectToHost(0, QStringLiteral("127.0.0.1"), port);
        QTRY_VERIFY(!description.isEmpty());
        QVERIFY(!ws.isConnected(0));
    }

    void aPeerThatDoesNotReadIsDropped()
    {
        Hub h;
        Peer p(h.port);
        p.s.setReadBufferSize(1); // the peer's side stops taking data almost at once
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        const QByteArray line(1000, 'x');
        // Far more than the socket buffers of both ends and the cap together.
        for (int i = 0; i < 20000 && h.ws.isConnected(1); ++i) {
            h.ws.sendData(1, line);
            if (i % 100 == 0)
                QCoreApplication::processEvents();
            QVERIFY(h.ws.bytesQueued(1) <= Winsock::MaxQueuedBytes);
        }
        QVERIFY(!h.ws.isConnected(1));
        QTRY_COMPARE(h.count(QStringLiteral("close")), 1);
    }

    void keepAliveIsOn()
    {
        Hub h;
        Peer p(h.port);
        QTRY_COMPARE(h.count(QStringLiteral("accept")), 1);
        Winsock client;
        bool connected = false;
        QObject::connect(&client, &Winsock::Connect, [&] { connected = true; });
        client.connectToHost(0, QStringLiteral("127.0.0.1"), h.port);
        QTRY_VERIFY(connected);
        QVERIFY(client.isConnected(0));
        // Both ends are checked through the option Qt reports for the socket.
        const auto sockets = client.findChildren<QTcpSocket *>();
        QCOMPARE(sockets.size(), 1);
        QCOMPARE(sockets.first()->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
        const auto hubSockets = h.ws.findChildren<QTcpSocket *>();
        QVERIFY(!hubSockets.isEmpty());
        for (QTcpSocket *s : hubSockets)
            QCOMPARE(s->socketOption(QAbstractSocket::KeepAliveOption).toInt(), 1);
    }
};

QTEST_GUILESS_MAIN(TestWinsock)
#include "tst_winsock.moc"
