// SPDX-License-Identifier: MIT
// Faults that must leave the hub working: a peer that never reads, peers that come and
// go by the thousand (some resetting in the middle of a relay), and text that is not
// valid UTF-8. Every case runs over loopback against a real hub window, bounded in time.

#include "helpers.h"

#include <QFile>

#include <algorithm>
#include <atomic>
#include <random>
#include <string>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace {

qint64 rssKiB()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

// One churner: connects, registers as "cN", sends one line and waits for it to come back.
// Blocking, bounded waits; for the churn thread, which has no event loop.
struct Churner
{
    int fd = -1;
    std::string received;

    bool waitFor(const std::string &what)
    {
        char buf[4096];
        while (received.find(what) == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) <= 0)
                return false;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return false;
            received.append(buf, size_t(n));
        }
        return true;
    }
    bool send(const std::string &text) { return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size()); }
};

// The comings and goings of a busy office: `cycles` clients named from c`first` on, the
// first 300 one after the other, then groups of `groups` that arrive together and leave
// together in a shuffled order. Each registers, sends a line and waits for it to come
// back; every tenth leaves by a reset instead of closing. Returns what went wrong, or
// nothing.
QString churn(quint16 port, int cycles, int first, int groups)
{
    std::mt19937 rng(first);
    for (int done = 0; done < cycles;) {
        std::vector<Churner> group(done < 300 ? 1 : groups);
        for (Churner &c : group) {
            if ((c.fd = connectBlocking(port)) < 0)
                return QStringLiteral("client %1 could not connect").arg(done);
        }
        auto name = [&](size_t i) { return "c" + std::to_string(first + done + int(i)); };
        for (size_t i = 0; i < group.size(); ++i)
            group[i].send("_RqSck _Cnnct " + name(i));
        for (size_t i = 0; i < group.size(); ++i) {
            if (!group[i].waitFor("_SdSck"))
                return QStringLiteral("no slot for client %1").arg(done + int(i));
        }
        for (size_t i = 0; i < group.size(); ++i)
            group[i].send("_SendM " + name(i) + " >> x " + name(i));
        for (size_t i = 0; i < group.size(); ++i) {
            if (!group[i].waitFor("_SendM " + name(i) + " >> x " + name(i)))
                return QStringLiteral("line of client %1 not relayed").arg(done + int(i));
        }
        std::shuffle(group.begin(), group.end(), rng);
        for (Churner &c : group) {
            if (++done % 10 == 0) {
                const linger hard{1, 0};
                ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            ::close(c.fd);
        }
    }
    return {};
}

// The talker's n-th line.
QString talkerLine(int n)
{
    return QStringLiteral("_SendM talker >> n%1 ").arg(n, 6, 10, QLatin1Char('0'));
}

} // namespace

class TestRobustness : public HubTest
{
    Q_OBJECT
    using Stayers = std::vector<std::unique_ptr<RawPeer>>;

private slots:

    void aPeerThatNeverReadsIsDroppedAndTheOthersGetEverything()
    {
        RawPeer talker(port), reader(port), sleeper(port);
        sleeper.socket.setReadBufferSize(1); // takes almost nothing off the connection
        sleeper.socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        QVERIFY(talker.join(QStringLiteral("talker")));
        QVERIFY(reader.join(QStringLiteral("reader")));
        QVERIFY(sleeper.waitConnected());
        sleeper.send(QStringLiteral("_RqSck _Cnnct sleeper"));
        QTRY_COMPARE(hub->names().size(), 4);
        reader.received.clear();

        // About 12 MB relayed to each peer, far beyond what the connections buffer.
        const QString filler(1000, QLatin1Char('x'));
        const int lines = 12000;
        qint64 mostQueued = 0;
        const QString departure = QStringLiteral("*****  sleeperさんが落ちました。。。  *****");
        bool departed = false; // looked for as it goes: the flood pushes it out of the log
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < lines; ++i) {
            talker.send(QStringLiteral("_SendM talker >> %1 ").arg(i, 5, 10, QLatin1Char('0')) + filler);
            if (i % 20 == 0) {
                QCoreApplication::processEvents();
                mostQueued = std::max(mostQueued, hub->main->winsock().bytesQueued(3));
                departed = departed || hub->log().contains(departure);
            }
            if (i % 200 == 0)
                talker.socket.waitForBytesWritten(100);
            QVERIFY(clock.elapsed() < 60000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(departed = departed || hub->log().contains(departure), 20000);
        QVERIFY(mostQueued <= Connection::MaxQueuedBytes);
        QTRY_VERIFY_WITH_TIMEOUT(reader.text().count(QStringLiteral("_SendM talker >> ")) == lines, 30000);
        QStringList got = reader.messages().filter(QStringLiteral("_SendM talker >> "));
        for (int i = 0; i < lines; ++i)
            QVERIFY2(got[i].startsWith(QStringLiteral("_SendM talker >> %1 ").arg(i, 5, 10, QLatin1Char('0'))),
                     qPrintable(got[i].left(30)));
        QVERIFY(reader.text().contains(QStringLiteral("_Clsck sleeper")));
        QCOMPARE(hub->state.slotTable.ClosedSlot[3], qint16(0)); // it was the top: released
        QCOMPARE(hub->size(), 2);
    }

    void churnLeavesNothingBehind()
    {
        // Three who stay, and one who keeps talking while others come and go.
        Stayers stayers;
        for (int i = 0; i < 3; ++i) {
            stayers.push_back(std::make_unique<RawPeer>(port));
            QVERIFY(stayers.back()->join(QStringLiteral("stay%1").arg(i)));
        }
        RawPeer talker(port);
        QVERIFY(talker.join(QStringLiteral("talker")));
        QTest::qWait(50);
        for (auto &s : stayers)
            s->received.clear();
        const qint64 rssBefore = rssKiB();

        const int cycles = 1000; // per thread
        int sent = 0;
        churnFromTwoThreadsWhileTalking(talker, cycles, sent);
        stayersHeardEveryLineAndDeparture(stayers, sent, 2 * cycles);
        everyoneLeavesAndNothingIsLeft(stayers, talker, rssBefore, 2 * cycles);
        theHubStillRelays();
    }

    void invalidTextIsRelayedAsReplacementCharacters()
    {
        RawPeer a(port), b(port);
        QVERIFY(a.join(QStringLiteral("A")));
        QVERIFY(b.join(QStringLiteral("B")));
        QTest::qWait(50);
        b.received.clear();
        a.socket.write(QByteArray("_SendM A >> \xff\xc0\xaf\x80", 16) + QByteArray(1, '\0') + "end");
        QTRY_VERIFY(b.text().endsWith(QStringLiteral("end")));
        QVERIFY(b.received.isValidUtf8());
        QCOMPARE(b.text(), QStringLiteral("_SendM A >> ") + QString(5, QChar::ReplacementCharacter)
                               + QStringLiteral("end"));
    }

private:
    // The steps of churnLeavesNothingBehind.

    // Clients come and go from two threads of their own, as they do from other machines:
    // so departures land while the hub is in the middle of relaying other departures,
    // several yields deep, while the talker keeps talking; `sent` counts its lines.
    void churnFromTwoThreadsWhileTalking(RawPeer &talker, int cycles, int &sent)
    {
        std::atomic<int> finished = 0;
        QString failures[2];
        std::vector<std::thread> churners;
        for (int t = 0; t < 2; ++t) {
            churners.emplace_back([&, t] {
                // One in groups of 20, one always alone: together they stay within
                // the hub's 50 places even while a group's departures are still
                // being handled when the next group arrives.
                failures[t] = churn(port, cycles, t * 100000, t == 0 ? 20 : 2);
                ++finished;
            });
        }
        QElapsedTimer clock;
        clock.start();
        while (finished < 2 && clock.elapsed() < 60000) {
            if (clock.elapsed() / 2 > sent)
                talker.send(talkerLine(sent++));
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        for (std::thread &t : churners)
            t.join(); // their waits are bounded
        for (const QString &failure : failures)
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
        QTest::qWait(200);
    }

    // Every line the talker sent, in order; and one departure notice per churner.
    static void stayersHeardEveryLineAndDeparture(const Stayers &stayers, int sent, int departures)
    {
        for (auto &s : stayers) {
            QTRY_COMPARE_WITH_TIMEOUT(s->messages().filter(QStringLiteral("_SendM talker >> n")).size(), sent, 10000);
            const QStringList got = s->messages().filter(QStringLiteral("_SendM talker >> n"));
            for (int i = 0; i < sent; ++i)
                QCOMPARE(got[i], talkerLine(i));
            QTRY_COMPARE(s->messages().filter(QStringLiteral("_Clsck ")).size(), departures);
        }
    }

    // Everyone leaves: the table is empty again, only the listening element remains, and
    // the memory the churn took is given back.
    void everyoneLeavesAndNothingIsLeft(Stayers &stayers, RawPeer &talker, qint64 rssBefore, int cycles)
    {
        for (auto &s : stayers)
            s->socket.disconnectFromHost();
        talker.socket.disconnectFromHost();
        QTRY_COMPARE(hub->size(), 0);
        QCOMPARE(hub->state.slotTable.ConnCount, 0);
        for (int i = 1; i <= MaxSlots; ++i)
            QVERIFY(!hub->main->winsock().isLoaded(i));
        QVERIFY(hub->main->winsock().isLoaded(0));
        const qint64 grown = rssKiB() - rssBefore;
        qInfo("resident memory grew by %lld KiB over %d cycles", grown, cycles);
#ifndef __SANITIZE_ADDRESS__
        // Under AddressSanitizer the allocator's quarantine holds freed memory on purpose;
        // there the leak check at exit stands for this bound.
        QVERIFY2(grown < 64 * 1024, qPrintable(QString::number(grown)));
#endif
    }

    // And the hub still relays. (The name list it sends now stops at slot positions,
    // which no longer match the long list, so only the slot number is waited for; one
    // may hear of the other's arrival before its own.)
    void theHubStillRelays()
    {
        RawPeer fresh(port), other(port);
        QVERIFY(fresh.waitConnected() && other.waitConnected());
        fresh.send(QStringLiteral("_RqSck _Cnnct fresh"));
        other.send(QStringLiteral("_RqSck _Cnnct other"));
        QTRY_VERIFY(fresh.text().contains(QStringLiteral("_SdSck ")));
        QTRY_VERIFY(other.text().contains(QStringLiteral("_SdSck ")));
        QTRY_COMPARE(hub->size(), 2);
        fresh.send(QStringLiteral("_SendM fresh >> まだ動いています"));
        QTRY_VERIFY(other.text().endsWith(QStringLiteral("_SendM fresh >> まだ動いています")));
    }
};

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
