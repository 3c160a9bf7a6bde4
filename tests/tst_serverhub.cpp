// SPDX-License-Identifier: MIT
// The hub's slot table and message handling, driven chunk by chunk through in-memory
// sockets, with the yield replaced so that events can be made to happen mid-walk.

#include "expected.h"
#include "fakes.h"
#include "shown.h"
#include "server/serverhub.h"

#include <QtTest>

namespace {

const QString S = QStringLiteral("S");

// The hub "S" over in-memory sockets; its yield runs onYield once, if set.
struct HubOverFakes : ShownSession
{
    FakeSockets sockets;
    ServerHub hub{state, sockets};
    qint64 nextRequest = 0;
    std::function<void()> onYield;
    int yields = 0;

    HubOverFakes()
    {
        state.settings.ServerMode = true;
        state.settings.HandleName = S;
        state.resetForChatWindow();
        state.NameList.add(S);
        hub.setDoEvents([this] {
            ++yields;
            if (onYield) {
                auto f = std::exchange(onYield, nullptr);
                f();
            }
        });
    }
    int connect()
    {
        hub.ConnectionRequest(0, ++nextRequest);
        return state.slotTable.SizeOfClient;
    }
    void chunk(int index, const QString &text)
    {
        sockets.incoming.insert(index, text);
        hub.DataArrival(index);
    }
    // Connects a client and registers it the way a real client does.
    int join(const QString &name)
    {
        const int slot = connect();
        chunk(slot, QStringLiteral("_RqSck _Cnnct ") + name);
        return slot;
    }
    void join(std::initializer_list<QString> names)
    {
        for (const QString &name : names)
            join(name);
    }
    void clearSent() { sockets.sent.clear(); }
    int size() const { return state.slotTable.SizeOfClient; }
};

} // namespace

class TestServerHub : public QObject
{
    Q_OBJECT

private slots:
    void acceptOpensSlotsAtTheTop()
    {
        HubOverFakes h;
        QCOMPARE(h.connect(), 1);
        QCOMPARE(h.state.slotTable.ConnCount, 1);
        QCOMPARE(h.log().last(), QStringLiteral("1人目の接続を受けつけました"));
        QVERIFY(h.sockets.isLoaded(1));
        QCOMPARE(h.sockets.accepted.last(), qMakePair(1, qint64(1)));
        QCOMPARE(h.connect(), 2);
        QCOMPARE(h.log().last(), QStringLiteral("2人目の接続を受けつけました"));
        QVERIFY(h.sockets.sent.isEmpty()); // nothing is sent on accept
    }

    void workedJoinSequence()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        h.clearSent();
        const int b = h.connect();
        h.chunk(b, QStringLiteral("_RqSck "));
        h.chunk(b, QStringLiteral("_Cnnct B"));
        QCOMPARE(h.sockets.sentTo(2),
                 QStringList({"_SdSck 2", "_NameL S", "_NameL A", "_NameL B"}));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_NameL B", joinNotice("B")}));
        QCOMPARE(h.log().mid(h.log().size() - 2),
                 QStringList({"2人目の接続を受けつけました", "*****  Bさんが入室しました　*****"}));
        QCOMPARE(h.names(), QStringList({"S", "A", "B"}));
        QCOMPARE(h.state.slotTable.SlotName[2], QStringLiteral("B"));
        QCOMPARE(h.sockets.sendsOnMissing, QList<int>());
    }

    void registrationFollowedBySegmentUsesTwoSpaceEnding()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        const int b = h.connect();
        h.clearSent();
        h.chunk(b, QStringLiteral("_Cnnct B_SendM B >> hi"));
        QCOMPARE(h.sockets.sentTo(1),
                 QStringList({"_NameL B", "_SendM *****　Bさんが入室しました  *****", "_SendM B >> hi"}));
        QCOMPARE(h.sockets.sentTo(2).last(), QStringLiteral("_SendM B >> hi"));
        QCOMPARE(h.log().last(), QStringLiteral("B >> hi"));
        QCOMPARE(h.log().at(h.log().size() - 2), QStringLiteral("*****  Bさんが入室しました　*****"));
    }

    void underscoresCutNamesAndLines()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        const int b = h.connect();
        h.clearSent();
        h.chunk(b, QStringLiteral("_Cnnct b_c_SendM lost"));
        QCOMPARE(h.names().last(), QStringLiteral("b"));
        QCOMPARE(h.sockets.sentTo(1).last(), QStringLiteral("_SendM *****　bさんが入室しました  *****"));
        QVERIFY(!h.log().contains(QStringLiteral("lost"))); // "_c" ends the chunk

        h.clearSent();
        h.chunk(1, QStringLiteral("_SendM A >> x_y"));
        QCOMPARE(h.log().last(), QStringLiteral("A >> x"));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_SendM A >> x"}));
        QCOMPARE(h.sockets.sentTo(2), QStringList({"_SendM A >> x"}));
    }

    void emptyPayloadsAndOtherTags()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        h.clearSent();
        const int logged = int(h.log().size());
        h.chunk(1, QStringLiteral("_SendM"));
        h.chunk(1, QStringLiteral("_SendM "));
        h.chunk(1, QStringLiteral("_Cnnct "));
        h.chunk(1, QStringLiteral("_NameL x_SendM y"));
        h.chunk(1, QStringLiteral("_SdSck 3"));
        h.chunk(1, QStringLiteral("_Clsck A"));
        h.chunk(1, QStringLiteral("_sendm lower"));
        h.chunk(1, QStringLiteral("_Se"));
        QCOMPARE(int(h.log().size()), logged);
        QVERIFY(h.sockets.sent.isEmpty());
        QCOMPARE(h.names().size(), 2);

        // An empty value right before an underscore is still a line.
        h.chunk(1, QStringLiteral("_SendM _SendM z_NameL q_SendM never"));
        QCOMPARE(h.log().mid(logged), QStringList({"", "z"}));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_SendM ", "_SendM z"}));

        // A seventh character other than a space is dropped unexamined.
        h.clearSent();
        h.chunk(1, QStringLiteral("_SendMxabc"));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_SendM abc"}));
    }

    void slotRequestAnswersTheAskingSlot()
    {
        HubOverFakes h;
        h.connect();
        h.connect();
        h.chunk(1, QStringLiteral("_RqSck ignored_RqSck "));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_SdSck 1", "_SdSck 1"}));
        QCOMPARE(h.yields, 0);
    }

    void rawLinesAreLoggedAndRelayedWhole()
    {
        HubOverFakes h;
        h.join({"A", "B"});
        h.clearSent();
        const QString raw = QStringLiteral("plain words _SendM x_Cnnct y");
        h.chunk(2, raw);
        QCOMPARE(h.log().last(), raw);
        QCOMPARE(h.sockets.sentTo(1), QStringList({raw}));
        QCOMPARE(h.sockets.sentTo(2), QStringList({raw}));
        QCOMPARE(h.names().size(), 3);
    }

    void departures()
    {
        HubOverFakes h;
        h.join({"A", "B", "C"});
        h.clearSent();

        // A slot below the top is marked; counters stay.
        h.hub.Close(2);
        QCOMPARE(h.state.slotTable.ClosedSlot[2], qint16(2));
        QCOMPARE(h.size(), 3);
        QVERIFY(h.sockets.isLoaded(2));
        QCOMPARE(h.log().last(), QStringLiteral("*****  Bさんが落ちました。。。  *****"));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_Clsck B"}));
        QCOMPARE(h.sockets.sentTo(3), QStringList({"_Clsck B"}));
        QVERIFY(h.sockets.sentTo(2).isEmpty());
        QCOMPARE(h.names(), QStringList({"S", "A", " ", "C"}));

        // The next connection takes the top + 1, not the gap.
        QCOMPARE(h.connect(), 4);
        h.hub.Close(4);
        QCOMPARE(h.size(), 3);

        // The top departs: it and the closed slot below are released, one line, one notice.
        h.clearSent();
        const int logged = int(h.log().size());
        h.hub.Close(3);
        QCOMPARE(h.size(), 1);
        QCOMPARE(h.state.slotTable.ConnCount, 1);
        QVERIFY(!h.sockets.isLoaded(3) && !h.sockets.isLoaded(2));
        QCOMPARE(h.state.slotTable.ClosedSlot[2], qint16(0));
        QCOMPARE(h.log().mid(logged), QStringList({"*****  Cさんが落ちました。。。  *****"}));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_Clsck C"}));

        // A repeated close of a departed slot is not a second departure.
        h.hub.Close(3);
        h.hub.Close(2);
        QCOMPARE(int(h.log().size()), logged + 1);

        // The only client departs.
        h.hub.Close(1);
        QCOMPARE(h.size(), 0);
        QCOMPARE(h.names().at(1), QStringLiteral(" "));
        QCOMPARE(h.sockets.loaded.keys(), QList<int>({0}));
    }

    void compactionOfClosedSlotsBelowTheTop()
    {
        HubOverFakes h;
        h.join({"A", "B", "C", "D", "E"});
        h.hub.Close(3);
        h.hub.Close(4);
        h.clearSent();
        const int logged = int(h.log().size());
        h.hub.Close(5);
        QCOMPARE(h.size(), 2);
        QCOMPARE(h.state.slotTable.ConnCount, 2);
        QCOMPARE(h.sockets.unloads, QList<int>({5, 4, 3}));
        QCOMPARE(h.log().mid(logged), QStringList({"*****  Eさんが落ちました。。。  *****"}));
        QCOMPARE(h.sockets.sent.size(), 2); // "_Clsck E" to slots 1 and 2
        for (int i = 0; i <= MaxSlots; ++i)
            QCOMPARE(h.state.slotTable.ClosedSlot[i], qint16(0));
    }

    void departureBeforeRegistrationAndReuseOfTheTop()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        h.connect();
        h.hub.Close(2);
        QCOMPARE(h.log().last(), QStringLiteral("*****  さんが落ちました。。。  *****"));
        QCOMPARE(h.sockets.sentTo(1).last(), QStringLiteral("_Clsck "));

        // Slot 2 again: the number repeats, and an unregistered departure names the previous one.
        h.join(QStringLiteral("B"));
        QCOMPARE(h.log().at(h.log().size() - 2), QStringLiteral("2人目の接続を受けつけました"));
        QCOMPARE(h.names(), QStringList({"S", "A", "B"}));
        h.hub.Close(2);
        QCOMPARE(h.names(), QStringList({"S", "A", " "}));
        h.connect();
        h.hub.Close(2);
        QCOMPARE(h.log().last(), QStringLiteral("*****  Bさんが落ちました。。。  *****"));
    }

    void nameListAfterReuseShowsBlankAndStopsAtTheTop()
    {
        HubOverFakes h;
        h.join({"A", "B"});
        h.hub.Close(2);
        h.clearSent();
        h.join(QStringLiteral("C"));
        // Entries S, A, " " (B's old place): C's own entry lies past the walk's end.
        QCOMPARE(h.sockets.sentTo(2), QStringList({"_SdSck 2", "_NameL S", "_NameL A", "_NameL  "}));
    }

    void registrationIsFiledUnderTheSlotItCameOn()
    {
        HubOverFakes h;
        const int a = h.connect();
        const int b = h.connect();
        h.chunk(a, QStringLiteral("_RqSck _Cnnct A"));
        QCOMPARE(h.state.slotTable.SlotName[1], QStringLiteral("A"));
        QCOMPARE(h.state.slotTable.SlotName[2], QString());
        QCOMPARE(h.sockets.sentTo(a), QStringList({"_SdSck 1", "_NameL S", "_NameL A"}));
        QCOMPARE(h.sockets.sentTo(b), QStringList({"_NameL A", joinNotice("A")}));
        h.clearSent();
        h.chunk(b, QStringLiteral("_RqSck _Cnnct B"));
        QCOMPARE(h.sockets.sentTo(b), QStringList({"_SdSck 2", "_NameL S", "_NameL A", "_NameL B"}));
        QCOMPARE(h.sockets.sentTo(a), QStringList({"_NameL B", joinNotice("B")}));
    }

    void repeatedRegistrationAddsEntries()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        h.chunk(1, QStringLiteral("_Cnnct A"));
        QCOMPARE(h.names(), QStringList({"S", "A", "A"}));
    }

    void positionsPastTheEndOfTheListSendNothing()
    {
        HubOverFakes h;
        h.connect(); // slot 1 never registers
        h.connect();
        h.connect();
        h.chunk(3, QStringLiteral("_Cnnct C"));
        // Entries: S, C. Positions 2 and 3 do not exist.
        QCOMPARE(h.sockets.sentTo(3), QStringList({"_NameL S", "_NameL C"}));
    }

    void tableFullOfGapsReusesTheLowestClosedSlot()
    {
        HubOverFakes h;
        for (int i = 1; i <= MaxSlots; ++i)
            h.join(QStringLiteral("u%1").arg(i));
        QCOMPARE(h.size(), 50);
        h.hub.Close(7);
        h.hub.Close(3);
        h.clearSent();

        QCOMPARE(h.connect(), 50); // the top stays 50
        QCOMPARE(h.log().last(), QStringLiteral("3人目の接続を受けつけました"));
        QCOMPARE(h.state.slotTable.ClosedSlot[3], qint16(0));
        QCOMPARE(h.state.slotTable.ConnCount, 50);
        h.chunk(3, QStringLiteral("_RqSck _Cnnct new"));
        QCOMPARE(h.sockets.sentTo(3).first(), QStringLiteral("_SdSck 3"));
        QCOMPARE(h.state.slotTable.SlotName[3], QStringLiteral("new"));

        h.connect();
        QCOMPARE(h.log().last(), QStringLiteral("7人目の接続を受けつけました"));

        // Now all 50 are connected: the next one is turned away, nothing else changes.
        const qint64 refused = h.nextRequest + 1;
        h.connect();
        QCOMPARE(h.log().last(), QStringLiteral("*****  満員のため接続をお断りしました（50人）  *****"));
        QVERIFY(std::none_of(h.sockets.accepted.begin(), h.sockets.accepted.end(),
                             [&](const auto &a) { return a.second == refused; }));
        QCOMPARE(h.sockets.refused, (QList<QPair<qint64, QString>>{{refused, "*****  満員のため接続できませんでした（50人）  *****"}}));
        QCOMPARE(h.size(), 50);
        QVERIFY(!h.sockets.isLoaded(51));

        h.clearSent();
        h.chunk(50, QStringLiteral("_SendM u50 >> still here"));
        QCOMPARE(h.sockets.sent.size(), 50);
        QCOMPARE(h.sockets.sendsOnMissing, QList<int>());
    }

    void nameListKeepsItsSlotPositionsAndNewestEntries()
    {
        HubOverFakes h;
        for (int i = 1; i < MaxSlots; ++i)
            h.join(QString::number(i));
        // Clients come and go on the top slot: each adds an entry and blanks entry 50.
        for (int i = MaxSlots; i < ServerHub::MaxNameListEntries + 5; ++i) {
            h.hub.Close(h.join(QString::number(i)));
            h.clearSent();
        }
        const QStringList names = h.names();
        QCOMPARE(names.size(), ServerHub::MaxNameListEntries);
        for (int i = 0; i < MaxSlots; ++i)
            QCOMPARE(names[i], i == 0 ? S : QString::number(i));
        QCOMPARE(names[MaxSlots], QStringLiteral(" "));
        QCOMPARE(names.last(), QString::number(ServerHub::MaxNameListEntries + 4));
        QCOMPARE(names[MaxSlots + 1].toInt(), names.last().toInt() - (ServerHub::MaxNameListEntries - MaxSlots - 2));
    }

    void slotErrorIsADepartureAndListeningGoesOn()
    {
        HubOverFakes h;
        h.join({"A", "B", "C"});
        h.hub.Error(2, QStringLiteral("network trouble"));
        QCOMPARE(h.log().mid(h.log().size() - 2),
                 QStringList({"network trouble", "*****  Bさんが落ちました。。。  *****"}));
        QCOMPARE(h.state.slotTable.ClosedSlot[2], qint16(2));
        QVERIFY(!h.sockets.closes.contains(0));
        QCOMPARE(h.names().at(2), QStringLiteral(" "));

        // The listening socket's own error stops listening.
        h.hub.Error(0, QStringLiteral("listener trouble"));
        QCOMPARE(h.log().mid(h.log().size() - 2), QStringList({"listener trouble", "*****　接続失敗　*****"}));
        QCOMPARE(h.selected(), int(h.log().size()) - 1);
        QVERIFY(h.sockets.closes.contains(0));
    }

    void closeOfTheListeningSocketUnloadsNothing()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        h.hub.Close(0);
        QVERIFY(h.sockets.isLoaded(0));
        QVERIFY(h.sockets.unloads.isEmpty());
        QCOMPARE(h.size(), 1);
    }

    void broadcastSkipsClosedSlotsAndYieldsPerSend()
    {
        HubOverFakes h;
        h.join({"A", "B", "C"});
        h.hub.Close(2);
        h.clearSent();
        h.yields = 0;
        h.hub.BroadcastToClients(QStringLiteral("_SendM S >> hi"));
        QCOMPARE(h.sockets.sent.size(), 2);
        QCOMPARE(h.sockets.sent[0].index, 1);
        QCOMPARE(h.sockets.sent[1].index, 3);
        QCOMPARE(h.yields, 2);
        h.yields = 0;
        h.hub.sendToOpenSlots(QStringLiteral("_SendM notice"));
        QCOMPARE(h.yields, 0);
    }

    void departureOfTheTopDuringABroadcast()
    {
        HubOverFakes h;
        h.join({"A", "B", "C"});
        h.clearSent();
        h.onYield = [&] { h.hub.Close(3); };
        h.chunk(1, QStringLiteral("_SendM A >> hi"));
        // Slot 3 left during the yield after the first send: never sent to afterwards.
        QCOMPARE(h.sockets.sentTo(1).first(), QStringLiteral("_SendM A >> hi"));
        QCOMPARE(h.sockets.sentTo(2).first(), QStringLiteral("_Clsck C"));
        QVERIFY(!h.sockets.sentTo(3).contains(QStringLiteral("_SendM A >> hi")));
        QCOMPARE(h.sockets.sendsOnMissing, QList<int>());
        QCOMPARE(h.log().filter(QStringLiteral("Cさんが落ちました")).size(), 1);
    }

    void newConnectionDuringABroadcastIsAboveTheBound()
    {
        HubOverFakes h;
        h.join({"A", "B"});
        h.clearSent();
        h.onYield = [&] { h.connect(); };
        h.chunk(2, QStringLiteral("_SendM B >> hi"));
        QCOMPARE(h.size(), 3);
        QVERIFY(h.sockets.sentTo(3).isEmpty());
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_SendM B >> hi"}));
        QCOMPARE(h.sockets.sentTo(2), QStringList({"_SendM B >> hi"}));
    }

    void newcomerLeavesWhileItsNameListIsSent()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        const int b = h.connect();
        h.clearSent();
        h.onYield = [&] { h.hub.Close(b); };
        h.chunk(b, QStringLiteral("_Cnnct B"));
        QCOMPARE(h.sockets.sentTo(b), QStringList({"_NameL S"}));
        QCOMPARE(h.sockets.sendsOnMissing, QList<int>());
        // The others hear of the departure and nothing more of the newcomer.
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_Clsck B"}));
        QCOMPARE(h.log().filter(QStringLiteral("Bさんが入室")).size(), 0);
        QCOMPARE(h.size(), 1);
    }

    void registrationDuringAJoinNoticeWalkKeepsEachName()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        const int b = h.connect();
        const int c = h.connect();
        h.clearSent();
        // While B's join is being announced, C registers.
        int yieldsSeen = 0;
        std::function<void()> hook = [&] {
            if (++yieldsSeen == 5) // inside B's join-notice walk
                h.chunk(c, QStringLiteral("_Cnnct C"));
            else
                h.onYield = hook;
        };
        h.onYield = hook;
        h.chunk(b, QStringLiteral("_Cnnct B"));
        const QStringList toA = h.sockets.sentTo(1);
        QCOMPARE(toA.filter(QStringLiteral("Bさんが入室")).size(), 1);
        QCOMPARE(toA.filter(QStringLiteral("Cさんが入室")).size(), 1);
        QCOMPARE(h.log().filter(QStringLiteral("*****  Bさんが入室しました　*****")).size(), 1);
        QCOMPARE(h.log().filter(QStringLiteral("*****  Cさんが入室しました　*****")).size(), 1);
    }

    void senderLeavesDuringItsOwnChunk()
    {
        HubOverFakes h;
        h.join({"A", "B"});
        const int c = h.connect();
        h.clearSent();
        // C's chunk: a line, then its opening messages. C leaves while the line is relayed
        // and a newcomer takes its slot (the top was released, so the number comes again).
        h.onYield = [&] {
            h.hub.Close(c);
            h.connect();
        };
        h.chunk(c, QStringLiteral("_SendM C >> bye_RqSck _Cnnct C"));
        QCOMPARE(h.size(), 3);
        // The line still reaches the others; nothing is answered or registered for C.
        QCOMPARE(h.sockets.sentTo(1).first(), QStringLiteral("_SendM C >> bye"));
        QVERIFY(!h.sockets.sentTo(c).contains(QStringLiteral("_SdSck 3")));
        QVERIFY(h.sockets.sentTo(c).filter(QStringLiteral("_NameL")).isEmpty());
        QCOMPARE(h.state.slotTable.SlotName[c], QString());
        QCOMPARE(h.names(), QStringList({"S", "A", "B"}));
        QCOMPARE(h.sockets.sendsOnMissing, QList<int>());
    }

    void slotMarkedDuringAWalkIsSkipped()
    {
        HubOverFakes h;
        h.join({"A", "B", "C"});
        h.clearSent();
        h.onYield = [&] { h.hub.Close(2); };
        h.chunk(3, QStringLiteral("_SendM C >> x"));
        QVERIFY(!h.sockets.sentTo(2).contains(QStringLiteral("_SendM C >> x")));
        QCOMPARE(h.sockets.sentTo(3).last(), QStringLiteral("_SendM C >> x"));
    }

    void overlongLinesAreNotRelayed()
    {
        HubOverFakes h;
        h.join({"A", "B"});
        h.clearSent();
        const QString longest(ServerHub::MaxLineChars, QLatin1Char('x'));
        h.chunk(1, longest);
        QCOMPARE(h.sockets.sentTo(2), QStringList({longest}));

        h.clearSent();
        const int logged = int(h.log().size());
        h.chunk(1, longest + QLatin1Char('x'));
        QVERIFY(h.sockets.sent.isEmpty());
        QCOMPARE(h.log().mid(logged),
                 QStringList({"*****  1人目の接続から届いた長すぎる行（32768文字）は中継しませんでした  *****"}));

        // A chat line too long is dropped; what follows it in the chunk is still handled.
        h.chunk(2, QStringLiteral("_SendM ") + longest + QStringLiteral("y_SendM B >> short"));
        QCOMPARE(h.sockets.sentTo(1), QStringList({"_SendM B >> short"}));
        QCOMPARE(h.sockets.sentTo(2), QStringList({"_SendM B >> short"}));
        QVERIFY(h.sockets.isLoaded(2));
        QCOMPARE(h.log().last(), QStringLiteral("B >> short"));
    }

    void registrationsAreBounded()
    {
        HubOverFakes h;
        const int a = h.connect();
        for (int i = 0; i < ServerHub::MaxRegistrations; ++i)
            h.chunk(a, QStringLiteral("_Cnnct A"));
        QCOMPARE(h.names().size(), 1 + ServerHub::MaxRegistrations);
        h.chunk(a, QStringLiteral("_Cnnct A_SendM A >> still heard"));
        QCOMPARE(h.names().size(), 1 + ServerHub::MaxRegistrations);
        QCOMPARE(h.log().last(), QStringLiteral("A >> still heard"));
        QCOMPARE(h.log().at(h.log().size() - 2), QStringLiteral("*****  1人目の接続からの名前の登録を断りました  *****"));

        // A new connection in the same slot may register again.
        h.hub.Close(a);
        h.join(QStringLiteral("B"));
        QCOMPARE(h.names().last(), QStringLiteral("B"));

        const int c = h.connect();
        h.chunk(c, QStringLiteral("_Cnnct ") + QString(ServerHub::MaxNameChars + 1, QLatin1Char('n')));
        QCOMPARE(h.names().last(), QStringLiteral("B"));
        h.chunk(c, QStringLiteral("_Cnnct ") + QString(ServerHub::MaxNameChars, QLatin1Char('n')));
        QCOMPARE(h.names().last().size(), ServerHub::MaxNameChars);
    }

    void nicknameWithLineBreaksIsKeptAsSent()
    {
        HubOverFakes h;
        h.join(QStringLiteral("A"));
        const int b = h.connect();
        h.clearSent();
        h.chunk(b, QStringLiteral("_Cnnct x\r\ny"));
        QCOMPARE(h.names().last(), QStringLiteral("x\r\ny"));
        QCOMPARE(h.sockets.sentTo(1).first(), QStringLiteral("_NameL x\r\ny"));
    }

    void closeAllClosesEveryElement()
    {
        HubOverFakes h;
        h.join({"A", "B", "C"});
        h.hub.Close(2);
        h.sockets.closes.clear();
        h.hub.closeAll();
        QCOMPARE(h.sockets.closes, QList<int>({0, 1, 2, 3}));
    }
};

QTEST_GUILESS_MAIN(TestServerHub)
#include "tst_serverhub.moc"
