// Faults that must leave the hub working: a peer that never reads, peers that come and
// go by the thousand (some resetting in the middle of a relay), and text that is not
// valid UTF-8. Every case runs over loopback against a real hub window, bounded in time.

#include "helpers.h"

#include <QFile>
#include <QRandomGenerator>

namespace {

using Peer = RawPeer;

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

} // namespace

class TestRobustness : public HubTest
{
    Q_OBJECT

private slots:

    void aPeerThatNeverReadsIsDroppedAndTheOthersGetEverything()
    {
        Peer talker(port), reader(port), sleeper(port);
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
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < lines; ++i) {
            talker.send(QStringLiteral("_SendM talker >> %1 ").arg(i, 5, 10, QLatin1Char('0')) + filler);
            if (i % 20 == 0) {
                QCoreApplication::processEvents();
                mostQueued = std::max(mostQueued, hub->main->winsock().bytesQueued(3));
            }
            if (i % 200 == 0)
                talker.socket.waitForBytesWritten(100);
            QVERIFY(clock.elapsed() < 60000);
        }
        QTRY_VERIFY_WITH_TIMEOUT(hub->log().contains(QStringLiteral("*****  sleeperさんが落ちました。。。  *****")), 20000);
        QVERIFY(mostQueued <= Winsock::MaxQueuedBytes);
        QTRY_VERIFY_WITH_TIMEOUT(reader.text().count(QStringLiteral("_SendM talker >> ")) == lines, 30000);
        QStringList got = reader.messages().filter(QStringLiteral("_SendM talker >> "));
        for (int i = 0; i < lines; ++i)
            QVERIFY2(got[i].startsWith(QStringLiteral("_SendM talker >> %1 ").arg(i, 5, 10, QLatin1Char('0'))),
                     qPrintable(got[i].left(30)));
        QVERIFY(reader.text().contains(QStringLiteral("_Clsck sleeper")));
        QCOMPARE(hub->state->Slots.ClosedSlot[3], qint16(0)); // it was the top: released
        QCOMPARE(hub->size(), 2);
    }

    void churnLeavesNothingBehind()
    {
        // Three who stay, and one who keeps talking while others come and go.
        std::vector<std::unique_ptr<Peer>> stayers;
        for (int i = 0; i < 3; ++i) {
            stayers.push_back(std::make_unique<Peer>(port));
            QVERIFY(stayers.back()->join(QStringLiteral("stay%1").arg(i)));
        }
        Peer talker(port);
        QVERIFY(talker.join(QStringLiteral("talker")));
        QTest::qWait(50);
        for (auto &s : stayers)
            s->received.clear();
        const qint64 rssBefore = rssKiB();

        auto *rng = QRandomGenerator::global();
        int sent = 0, started = 0, finished = 0;
        const int cycles = 1000;
        struct Churner
        {
            std::unique_ptr<Peer> peer;
            bool registered = false;
            int deadline = 0;
        };
        std::vector<Churner> live;
        QElapsedTimer clock;
        clock.start();
        while (finished < cycles) {
            QVERIFY2(clock.elapsed() < 120000, "churn did not finish in time");
            // 300 one at a time, then 20 at a time.
            const int parallel = started < 300 ? 1 : 20;
            while (int(live.size()) < parallel && started < cycles) {
                Churner c;
                c.peer = std::make_unique<Peer>(port);
                c.deadline = rng->bounded(1, 6);
                live.push_back(std::move(c));
                ++started;
            }
            for (auto it = live.begin(); it != live.end();) {
                Peer &p = *it->peer;
                if (!it->registered && p.socket.state() == QAbstractSocket::ConnectedState) {
                    p.send(QStringLiteral("_RqSck _Cnnct c%1_SendM c >> hello").arg(started));
                    it->registered = true;
                }
                if (it->registered && p.text().contains(QStringLiteral("_SdSck")) && --it->deadline <= 0) {
                    // Leave politely or reset, often in the middle of a relay.
                    if (rng->bounded(2))
                        p.socket.abort();
                    else
                        p.socket.disconnectFromHost();
                    it = live.erase(it);
                    ++finished;
                    continue;
                }
                ++it;
            }
            if (clock.elapsed() / 2 > sent) {
                talker.send(QStringLiteral("_SendM talker >> n%1 ").arg(sent, 6, 10, QLatin1Char('0')));
                ++sent;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        }
        QTest::qWait(200);
        for (auto &s : stayers) {
            // Every line the talker sent, in order; and one departure notice per churner.
            QTRY_COMPARE_WITH_TIMEOUT(s->messages().filter(QStringLiteral("_SendM talker >> n")).size(), sent, 10000);
            const QStringList got = s->messages().filter(QStringLiteral("_SendM talker >> n"));
            for (int i = 0; i < sent; ++i)
                QCOMPARE(got[i], QStringLiteral("_SendM talker >> n%1 ").arg(i, 6, 10, QLatin1Char('0')));
            QTRY_COMPARE(s->messages().filter(QStringLiteral("_Clsck ")).size(), cycles);
        }

        // Everyone leaves: the table is empty again, only the listening element remains.
        for (auto &s : stayers)
            s->socket.disconnectFromHost();
        talker.socket.disconnectFromHost();
        QTRY_COMPARE(hub->size(), 0);
        QCOMPARE(hub->state->Slots.ConnCount, 0);
        for (int i = 1; i <= MaxSlots; ++i)
            QVERIFY(!hub->main->winsock().isLoaded(i));
        QVERIFY(hub->main->winsock().isLoaded(0));
        const qint64 grown = rssKiB() - rssBefore;
        qInfo("resident memory grew by %lld KiB over %d cycles", grown, cycles);
        QVERIFY2(grown < 64 * 1024, qPrintable(QString::number(grown)));

        // And the hub still relays. (The name list it sends now stops at slot positions,
        // which no longer match the long list, so only the slot number is waited for.)
        Peer fresh(port), other(port);
        QVERIFY(fresh.waitConnected() && other.waitConnected());
        fresh.send(QStringLiteral("_RqSck _Cnnct fresh"));
        other.send(QStringLiteral("_RqSck _Cnnct other"));
        QTRY_VERIFY(fresh.text().startsWith(QStringLiteral("_SdSck ")));
        QTRY_VERIFY(other.text().startsWith(QStringLiteral("_SdSck ")));
        QTRY_COMPARE(hub->size(), 2);
        fresh.send(QStringLiteral("_SendM fresh >> まだ動いています"));
        QTRY_VERIFY(other.text().endsWith(QStringLiteral("_SendM fresh >> まだ動いています")));
    }

    void invalidTextIsRelayedAsReplacementCharacters()
    {
        Peer a(port), b(port);
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
};

QTEST_MAIN(TestRobustness)
#include "tst_robustness.moc"
