// SPDX-License-Identifier: MIT
// The hub window with bare TCP peers on loopback: the exact bytes each peer gets,
// and the hub's log and name list.

#include "expected.h"
#include "helpers.h"
#include "net/tcpcalls.h"

class TestHubLoopback : public HubTest
{
    Q_OBJECT

private slots:

    void workedSequenceByteForByte()
    {
        RawPeer a(port);
        QVERIFY(a.join(QStringLiteral("A")));
        QCOMPARE(a.text(), QStringLiteral("_SdSck 1_NameL S_NameL A"));
        RawPeer b(port);
        QVERIFY(b.join(QStringLiteral("B")));
        QCOMPARE(b.text(), QStringLiteral("_SdSck 2_NameL S_NameL A_NameL B"));
        QTRY_COMPARE(a.text(), QStringLiteral("_SdSck 1_NameL S_NameL A_NameL B") + joinNotice("B"));
        QCOMPARE(hub->names(), QStringList({"S", "A", "B"}));
        const QStringList log = hub->log();
        QCOMPARE(log.mid(log.size() - 4), QStringList({"1人目の接続を受けつけました", "*****  Aさんが入室しました　*****",
                                                        "2人目の接続を受けつけました", "*****  Bさんが入室しました　*****"}));
    }

    void chatRawLinesAndUnderscores()
    {
        RawPeer a(port), b(port);
        QVERIFY(a.join(QStringLiteral("A")));
        QVERIFY(b.join(QStringLiteral("B")));
        QTRY_VERIFY(a.text().endsWith(joinNotice("B")));
        a.received.clear();
        b.received.clear();

        // The relay goes first: when the log's view gets the line, it is already on its way,
        // even to an idle log, which shows a line without waiting for others.
        QTest::qWait(LogModel::RefreshMs * 2);
        qsizetype onTheWay = -1;
        const auto shown = connect(&hub->state.RecieveList, &QAbstractItemModel::rowsInserted, this, [&] {
            onTheWay = tcp::bytesWaiting(b.socket.socketDescriptor()) + b.received.size();
        });
        a.send(QStringLiteral("_SendM A >> こんにちは"));
        QTRY_COMPARE(b.text(), QStringLiteral("_SendM A >> こんにちは"));
        QTRY_COMPARE_GT(onTheWay, 0);
        disconnect(shown);
        QTRY_COMPARE(a.text(), QStringLiteral("_SendM A >> こんにちは"));
        QCOMPARE(hub->log().last(), QStringLiteral("A >> こんにちは"));

        a.received.clear();
        b.received.clear();
        b.send(QStringLiteral("_SendM B >> x_y"));
        QTRY_COMPARE(a.text(), QStringLiteral("_SendM B >> x"));
        QTRY_COMPARE(b.text(), QStringLiteral("_SendM B >> x"));

        a.received.clear();
        b.received.clear();
        b.send(QStringLiteral("raw text _SendM inside"));
        QTRY_COMPARE(a.text(), QStringLiteral("raw text _SendM inside"));
        QTRY_COMPARE(b.text(), QStringLiteral("raw text _SendM inside"));
        QCOMPARE(hub->log().last(), QStringLiteral("raw text _SendM inside"));

        // A nickname with an underscore is registered up to it.
        RawPeer c(port);
        QVERIFY(c.waitConnected());
        c.send(QStringLiteral("_RqSck _Cnnct c_d"));
        QTRY_COMPARE(hub->names().last(), QStringLiteral("c"));
        QTRY_VERIFY(a.text().endsWith(QStringLiteral("_SendM *****　cさんが入室しました  *****")));
    }

    void departuresAndCompaction()
    {
        std::vector<std::unique_ptr<RawPeer>> p;
        for (int i = 1; i <= 5; ++i) {
            p.push_back(std::make_unique<RawPeer>(port));
            QVERIFY(p.back()->join(QStringLiteral("P%1").arg(i)));
        }
        QTRY_VERIFY(p[0]->text().endsWith(joinNotice("P5")));
        for (auto &x : p)
            x->received.clear();

        // A middle slot leaves: marked, one line, the others told.
        p[2]->socket.disconnectFromHost();
        QTRY_COMPARE(hub->state.slotTable.ClosedSlot[3], qint16(3));
        QTRY_COMPARE(p[0]->text(), QStringLiteral("_Clsck P3"));
        QTRY_COMPARE(p[4]->text(), QStringLiteral("_Clsck P3"));
        QCOMPARE(hub->size(), 5);
        p[3]->socket.disconnectFromHost();
        QTRY_COMPARE(hub->state.slotTable.ClosedSlot[4], qint16(4));
        QTRY_VERIFY(p[0]->text().endsWith(QStringLiteral("_Clsck P4")));
        QTRY_VERIFY(p[4]->text().endsWith(QStringLiteral("_Clsck P4")));
        for (auto &x : p)
            x->received.clear();

        // The top leaves: 5, 4 and 3 are released; one line and one notice.
        const int logged = int(hub->log().size());
        p[4]->socket.disconnectFromHost();
        QTRY_COMPARE(hub->size(), 2);
        QCOMPARE(hub->state.slotTable.ConnCount, 2);
        QTRY_COMPARE(p[0]->text(), QStringLiteral("_Clsck P5"));
        QTRY_COMPARE(p[1]->text(), QStringLiteral("_Clsck P5"));
        QCOMPARE(hub->log().mid(logged), QStringList({"*****  P5さんが落ちました。。。  *****"}));
        QCOMPARE(hub->names(), QStringList({"S", "P1", "P2", " ", " ", " "}));
        for (int i = 3; i <= 5; ++i)
            QVERIFY(!hub->main->winsock().isLoaded(i));

        // The released top is taken again: same number logged once more.
        // Its list ends at position 3, which holds P3's blanked entry; its own name lies beyond.
        RawPeer again(port);
        QVERIFY(again.waitConnected());
        again.send(QStringLiteral("_RqSck _Cnnct Q"));
        QTRY_COMPARE(again.text(), QStringLiteral("_SdSck 3_NameL S_NameL P1_NameL P2_NameL  "));
        QCOMPARE(hub->log().filter(QStringLiteral("3人目の接続を受けつけました")).size(), 2);
    }

    void fullTableTakesGapsAndTurnsAwayThe51st()
    {
        std::vector<std::unique_ptr<RawPeer>> p;
        for (int i = 1; i <= MaxSlots; ++i) {
            p.push_back(std::make_unique<RawPeer>(port));
            QVERIFY(p.back()->waitConnected());
        }
        QTRY_COMPARE(hub->size(), 50);
        p[9]->socket.disconnectFromHost(); // slot 10
        QTRY_COMPARE(hub->state.slotTable.ClosedSlot[10], qint16(10));

        RawPeer newcomer(port);
        QVERIFY(newcomer.waitConnected());
        newcomer.send(QStringLiteral("_RqSck "));
        QTRY_COMPARE(newcomer.text(), QStringLiteral("_SdSck 10"));
        QCOMPARE(hub->log().filter(QStringLiteral("10人目の接続を受けつけました")).size(), 2);

        // The 51st is told why, then closed.
        RawPeer refused(port);
        QVERIFY(refused.waitConnected());
        QTRY_COMPARE(refused.socket.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(refused.text(), QStringLiteral("*****  満員のため接続できませんでした（50人）  *****"));
        QTRY_COMPARE(hub->log().last(), QStringLiteral("*****  満員のため接続をお断りしました（50人）  *****"));
        QCOMPARE(hub->size(), 50);

        // Everyone connected still chats.
        for (auto &x : p)
            x->received.clear();
        p[49]->send(QStringLiteral("_SendM last >> まだいます"));
        QTRY_COMPARE(newcomer.text().right(11), QStringLiteral("_SendM last >> まだいます").right(11));
        for (int i = 0; i < MaxSlots; ++i) {
            if (i != 9)
                QTRY_COMPARE(p[i]->text(), QStringLiteral("_SendM last >> まだいます"));
        }
    }

    void textSplitAcrossReadsKeepsItsCharacters()
    {
        RawPeer a(port);
        QVERIFY(a.join(QStringLiteral("A")));
        a.received.clear();
        const QByteArray bytes = QStringLiteral("_SendM A >> 日本語").toUtf8();
        // Cut inside the first multi-byte character.
        a.send(bytes.left(13));
        QTest::qWait(50);
        a.send(bytes.mid(13));
        QTRY_VERIFY(a.text().contains(QStringLiteral("語")));
        QVERIFY(!a.text().contains(QChar::ReplacementCharacter));
    }
};

QTEST_MAIN(TestHubLoopback)
#include "tst_hub_loopback.moc"
