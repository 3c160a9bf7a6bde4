// SPDX-License-Identifier: MIT
// People chatting: a hub window and client windows in one process, each with its own
// session, on a loopback port.

#include "helpers.h"
#include "net/wireformat.h"

#include <QLineEdit>

namespace {

void type(ChatWindow *m, const QString &text)
{
    m->tSend()->setText(text);
    QTest::keyClick(m->tSend(), Qt::Key_Return);
}

} // namespace

class TestChat : public HubTest
{
    Q_OBJECT

private slots:
    void joinsNameListsAndSlots()
    {
        QVERIFY(joinClients({"A", "B", "C"}));
        QCOMPARE(clients[0]->log().mid(0, 2), QStringList({"接続中...", "*****　接続に成功しました　*****"}));
        QTRY_COMPARE(clients[0]->names(), QStringList({"S", "A", "B", "C"}));
        QTRY_COMPARE(clients[1]->names(), QStringList({"S", "A", "B", "C"}));
        QCOMPARE(clients[2]->names(), QStringList({"S", "A", "B", "C"}));
        QCOMPARE(hub->names(), QStringList({"S", "A", "B", "C"}));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(int(clients[i]->state.OwnSlot), i + 1);
        QTRY_VERIFY(clients[0]->log().contains(QStringLiteral("*****　Cさんが入室しました　*****")));
        QVERIFY(!clients[2]->log().contains(QStringLiteral("*****　Cさんが入室しました　*****")));
    }

    void linesReachEveryoneIncludingTheSender()
    {
        QVERIFY(joinClients({"A", "B", "C"}));
        type(clients[1]->main, QStringLiteral("やあ"));
        QVERIFY(clients[1]->main->tSend()->text().isEmpty());
        for (auto &c : clients)
            QTRY_COMPARE(c->log().last(), QStringLiteral("B >> やあ"));
        QCOMPARE(hub->log().last(), QStringLiteral("B >> やあ"));
        QCOMPARE(clients[1]->log().filter(QStringLiteral("B >> やあ")).size(), 1); // no local echo

        // The hub's own line: sent to every client, logged once by the hub.
        type(hub->main, QStringLiteral("ようこそ"));
        QCOMPARE(hub->log().last(), QStringLiteral("S >> ようこそ"));
        QCOMPARE(hub->selectedRow(), hub->log().size() - 1);
        QVERIFY(hub->main->tSend()->text().isEmpty());
        for (auto &c : clients)
            QTRY_COMPARE(c->log().last(), QStringLiteral("S >> ようこそ"));

        // Underscore: the hub logs its own line whole; receivers cut at the underscore.
        type(clients[0]->main, QStringLiteral("a_b"));
        QTRY_COMPARE(hub->log().last(), QStringLiteral("A >> a"));
        for (auto &c : clients)
            QTRY_COMPARE(c->log().last(), QStringLiteral("A >> a"));

        // Empty entry line: nothing happens.
        const int before = int(hub->log().size());
        type(hub->main, QString());
        QCOMPARE(int(hub->log().size()), before);
    }

    void aLineOverTheRelayBoundStaysInTheEntryLine()
    {
        QVERIFY(joinClients({"A"}));
        Window *a = clients[0].get();
        // "A >> " and "S >> " take 5 characters: this line is at the bound and goes out whole.
        const QString fits(WireFormat::MaxLineChars - 5, u'x');
        type(a->main, fits);
        QTRY_COMPARE(a->log().last(), "A >> " + fits);
        QCOMPARE(hub->log().last(), "A >> " + fits);

        const QString tooLong = QStringLiteral("*****  長すぎるため送信しませんでした（「名前 >> 発言」は32767文字まで、今は32768文字）  *****");
        for (Window *w : {a, hub.get()}) {
            type(w->main, fits + u'x');
            QCOMPARE(w->main->tSend()->text(), fits + u'x');
            QCOMPARE(w->log().last(), tooLong);
        }
        // Neither was sent: the next line follows the bounded one directly.
        type(a->main, QStringLiteral("next"));
        QTRY_COMPARE(a->log().last(), QStringLiteral("A >> next"));
        QCOMPARE(a->log().mid(a->log().size() - 3), QStringList({"A >> " + fits, tooLong, "A >> next"}));
        QCOMPARE(hub->log().mid(hub->log().size() - 3), QStringList({"A >> " + fits, tooLong, "A >> next"}));
    }

    void minimizeNoticesWhenTurnedOn()
    {
        hub.reset();
        hub = Window::server(QStringLiteral("S"), port, true);
        QVERIFY(joinClients({"A", "B"}, true));
        QVERIFY(QTest::qWaitForWindowExposed(clients[0]->main));
        QCOMPARE(clients[0]->state.JustLoaded, false);

        clients[0]->main->setWindowState(Qt::WindowMinimized);
        QCOMPARE(clients[0]->state.MinimizedFlag, true);
        QTRY_COMPARE(clients[1]->log().last(), QStringLiteral("*****  A  さんが最小化しました　*****"));
        QCOMPARE(hub->log().last(), QStringLiteral("*****  A  さんが最小化しました　*****"));
        clients[0]->main->setWindowState(Qt::WindowNoState);
        QCOMPARE(clients[0]->state.MinimizedFlag, false);
        QTRY_COMPARE(clients[1]->log().last(), QStringLiteral("*****  A  さんが元に戻しました　*****"));

        // The hub's notice goes to the clients and not into its own log.
        const QStringList hubLog = hub->log();
        hub->main->setWindowState(Qt::WindowMinimized);
        QTRY_COMPARE(clients[0]->log().last(), QStringLiteral("*****  S  さんが最初化しました　*****"));
        QTRY_COMPARE(clients[1]->log().last(), QStringLiteral("*****  S  さんが最初化しました　*****"));
        hub->main->setWindowState(Qt::WindowNoState);
        QTRY_COMPARE(clients[1]->log().last(), QStringLiteral("*****  S  さんが元に戻しました　*****"));
        QCOMPARE(hub->log(), hubLog);
    }

    void noNoticesWhenTurnedOff()
    {
        QVERIFY(joinClients({"A", "B"}));
        QVERIFY(QTest::qWaitForWindowExposed(clients[0]->main));
        const QStringList before = clients[1]->log();
        clients[0]->main->setWindowState(Qt::WindowMinimized);
        clients[0]->main->setWindowState(Qt::WindowNoState);
        QCOMPARE(clients[0]->state.MinimizedFlag, false);
        type(clients[1]->main, QStringLiteral("marker"));
        QTRY_COMPARE(clients[1]->log().last(), QStringLiteral("B >> marker"));
        QCOMPARE(clients[1]->log().mid(before.size()), QStringList({"B >> marker"}));
    }

    void aClientLeaves()
    {
        QVERIFY(joinClients({"A", "B", "C"}));
        clients[1]->main->close();
        const QString line = QStringLiteral("*****  Bさんが落ちました。。。  *****");
        QTRY_COMPARE(hub->log().last(), line);
        QTRY_COMPARE(clients[0]->log().last(), line);
        QTRY_COMPARE(clients[2]->log().last(), line);
        QCOMPARE(clients[0]->names(), QStringList({"S", "A", " ", "C"}));
        QCOMPARE(clients[2]->names(), QStringList({"S", "A", " ", "C"}));
        QCOMPARE(hub->names(), QStringList({"S", "A", " ", "C"}));
        QCOMPARE(hub->state.slotTable.ClosedSlot[2], qint16(2));
    }

    void theHubCloses()
    {
        QVERIFY(joinClients({"A", "B", "C"}));
        hub->main->close();
        const QString down = QStringLiteral("*****  サーバが落ちました！  *****");
        for (auto &c : clients)
            QTRY_COMPARE(c->log().last(), down);
        QTest::qWait(100);
        for (auto &c : clients) {
            QCOMPARE(c->log().filter(down).size(), 1);
            QVERIFY(c->main->isVisible());
            QCOMPARE(c->names().size(), 4);
        }

        // Enter while the hub is gone: the text stays, one line says it was not sent.
        type(clients[0]->main, QStringLiteral("誰かいますか"));
        QCOMPARE(clients[0]->main->tSend()->text(), QStringLiteral("誰かいますか"));
        QCOMPARE(clients[0]->log().last(), QStringLiteral("*****　サーバに接続していないため、送信できませんでした　*****"));
        // A notice that falls due now is dropped without a word.
        const int lines = int(clients[0]->log().size());
        clients[0]->main->windowResized();
        QCOMPARE(int(clients[0]->log().size()), lines);
    }

    void connectionRefused()
    {
        const quint16 closed = freePort();
        auto c = Window::client(QStringLiteral("A"), closed);
        QTRY_COMPARE(c->log().last(), QStringLiteral("*****　接続失敗　*****"));
        const QStringList log = c->log();
        QCOMPARE(log.size(), 3);
        QCOMPARE(log.first(), QStringLiteral("接続中..."));
        QVERIFY(!log.at(1).isEmpty());
        QCOMPARE(c->selectedRow(), 2);
        QVERIFY(c->main->isVisible());
    }

    void noticeBeforeTheNameListCarriesTheOwnNickname()
    {
        // A hub that never answers: the client has no list yet.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        auto c = Window::client(QStringLiteral("A"), silent.serverPort(), true);
        QVERIFY(silent.waitForNewConnection(3000));
        QTcpSocket *peer = silent.nextPendingConnection();
        QTRY_VERIFY(c->main->winsock().isConnected(0));
        QVERIFY(QTest::qWaitForWindowExposed(c->main));
        QByteArray got;
        QTRY_VERIFY((got += peer->readAll()).size() >= 15);
        got.clear();
        c->main->setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY((got += peer->readAll()).endsWith("さんが最小化しました　*****"));
        QCOMPARE(QString::fromUtf8(got), QStringLiteral("_SendM *****  A  さんが最小化しました　*****"));
    }
};

QTEST_MAIN(TestChat)
#include "tst_chat.moc"
