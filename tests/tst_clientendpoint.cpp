// SPDX-License-Identifier: MIT
// The client's handling of what the hub sends, chunk by chunk, and its connection events.

#include "client/clientendpoint.h"
#include "fakes.h"
#include "shown.h"

#include <QtTest>

namespace {

struct Client : ShownSession
{
    FakeSockets sockets;
    ClientEndpoint client{state, sockets};

    Client() { state.settings.HandleName = QStringLiteral("me"); }
    void chunk(const QString &text)
    {
        sockets.incoming.insert(0, text);
        client.DataArrival(0);
    }
};

} // namespace

class TestClientEndpoint : public QObject
{
    Q_OBJECT

private slots:
    void connectSendsTheTwoOpeningMessagesThenLogs()
    {
        Client c;
        c.state.settings.HandleName = QStringLiteral("a_b");
        c.client.Connect(0);
        QCOMPARE(c.sockets.sentTo(0), QStringList({"_RqSck ", "_Cnnct a_b"}));
        QCOMPARE(c.log(), QStringList({"*****　接続に成功しました　*****"}));
    }

    void closeAndErrorLines()
    {
        Client c;
        c.client.Close(0);
        QCOMPARE(c.log(), QStringList({"*****  サーバが落ちました！  *****"}));
        QVERIFY(c.sockets.closes.isEmpty());
        c.client.Error(0, QStringLiteral("接続が拒否されました"));
        QCOMPARE(c.log().mid(1), QStringList({"接続が拒否されました", "*****　接続失敗　*****"}));
        QCOMPARE(c.selected(), 2);
        QCOMPARE(c.sockets.closes, QList<int>({0}));
    }

    void slotNumberAndNameList()
    {
        Client c;
        c.chunk(QStringLiteral("_SdSck 2_NameL S_NameL A_NameL B"));
        QCOMPARE(c.state.OwnSlot, qint16(2));
        QCOMPARE(c.names(), QStringList({"S", "A", "B"}));
        QVERIFY(c.log().isEmpty());
    }

    void departureBlanksEveryMatchingEntry()
    {
        Client c;
        c.chunk(QStringLiteral("_NameL A_NameL B_NameL A"));
        c.chunk(QStringLiteral("_Clsck A"));
        QCOMPARE(c.log(), QStringList({"*****  Aさんが落ちました。。。  *****"}));
        QCOMPARE(c.names(), QStringList({" ", "B", " "}));
        QCOMPARE(c.state.PeerName, QStringLiteral("A"));
        c.chunk(QStringLiteral("_Clsck nobody"));
        QCOMPARE(c.names(), QStringList({" ", "B", " "}));
        QCOMPARE(c.log().size(), 2);

        Client empty;
        empty.chunk(QStringLiteral("_Clsck X"));
        QCOMPARE(empty.log().size(), 1);
        QVERIFY(empty.names().isEmpty());
    }

    void rawLinesAndUnknownTagsAreLoggedWhole()
    {
        Client c;
        c.chunk(QStringLiteral("plain words"));
        c.chunk(QStringLiteral("x_SendM not acted on"));
        c.chunk(QStringLiteral("_namel lower_NameL q"));
        c.chunk(QStringLiteral("_Cnnct someone"));
        c.chunk(QStringLiteral("_RqSck "));
        QCOMPARE(c.log(), QStringList({"plain words", "x_SendM not acted on", "_namel lower_NameL q",
                                          "_Cnnct someone", "_RqSck "}));
        QVERIFY(c.names().isEmpty());
        QCOMPARE(c.selected(), 4);
    }

    void emptyPayloadsAndUnderscores()
    {
        Client c;
        c.chunk(QStringLiteral("_SendM"));
        c.chunk(QStringLiteral("_SendM "));
        QVERIFY(c.log().isEmpty());
        c.chunk(QStringLiteral("_SendM _SendM z"));
        QCOMPARE(c.log(), QStringList({"", "z"}));

        c.chunk(QStringLiteral("_NameL _NameL n"));
        QCOMPARE(c.names(), QStringList({"", "n"}));

        // The seventh character is dropped whatever it is.
        c.chunk(QStringLiteral("_NameL#x"));
        QCOMPARE(c.names().last(), QStringLiteral("x"));

        // A chat line with an underscore: the rest, and what follows, is one more line.
        const qsizetype before = c.log().size();
        c.chunk(QStringLiteral("_SendM A >> a_b_SendM A >> next"));
        QCOMPARE(c.log().mid(before), QStringList({"A >> a", "_b_SendM A >> next"}));

        // A name with an underscore.
        c.chunk(QStringLiteral("_NameL x_y"));
        QCOMPARE(c.names().last(), QStringLiteral("x"));
        QCOMPARE(c.log().last(), QStringLiteral("_y"));
    }

    void readSlotNumber_data()
    {
        QTest::addColumn<QString>("value");
        QTest::addColumn<int>("slot");
        QTest::newRow("digits") << "7" << 7;
        QTest::newRow("two digits") << "12" << 12;
        QTest::newRow("letter") << "x" << 0;
        QTest::newRow("empty") << "" << 0;
        QTest::newRow("leading blanks") << "  3" << 3;
        QTest::newRow("trailing text") << "4abc" << 4;
        QTest::newRow("half to even down") << "2.5" << 2;
        QTest::newRow("half to even up") << "3.5" << 4;
        QTest::newRow("above half") << "2.51" << 3;
        QTest::newRow("below half") << "2.49" << 2;
        QTest::newRow("fraction only") << ".7" << 1;
        QTest::newRow("too large") << "99999" << 0;
        QTest::newRow("full-width digit") << "７" << 0;
    }
    void readSlotNumber()
    {
        QFETCH(QString, value);
        QFETCH(int, slot);
        QCOMPARE(int(ClientEndpoint::readSlotNumber(value)), slot);
    }

    void nameListIsBounded()
    {
        Client c;
        QString many;
        for (int i = 0; i < ClientEndpoint::MaxNames + 10; ++i)
            many += QStringLiteral("_NameL n");
        c.chunk(many);
        QCOMPARE(c.names().size(), ClientEndpoint::MaxNames);
    }

    void slotNumberFromTheWire()
    {
        Client c;
        c.chunk(QStringLiteral("_SdSck 7"));
        QCOMPARE(c.state.OwnSlot, qint16(7));
        c.chunk(QStringLiteral("_SdSck q"));
        QCOMPARE(c.state.OwnSlot, qint16(0));
    }
};

QTEST_GUILESS_MAIN(TestClientEndpoint)
#include "tst_clientendpoint.moc"
