// SPDX-License-Identifier: MIT
// The chat window's load and unload steps in both roles, over real loopback sockets.

#include "helpers.h"
#include "ui/accessibleroles.h"
#include "ui/announcer.h"

#include <numeric>

#include <QAccessible>
#include <QAction>
#include <QClipboard>
#include <QLineEdit>
#include <QScrollBar>
#include <QToolTip>

#ifdef LANCHAT_HAVE_XCB
#include <xcb/xcb.h>

// The chat window's name as the window manager reads it.
static QString x11Name(QWidget *w)
{
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *c = x11->connection();
    const char *atomName = "_NET_WM_NAME";
    auto *atom = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, uint16_t(strlen(atomName)), atomName), nullptr);
    auto *reply = xcb_get_property_reply(
        c, xcb_get_property(c, 0, xcb_window_t(w->winId()), atom->atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 4096), nullptr);
    const QString name = QString::fromUtf8(static_cast<const char *>(xcb_get_property_value(reply)),
                                           xcb_get_property_value_length(reply));
    free(reply);
    free(atom);
    return name;
}
#endif

// What the windows tell a screen reader: the accessibility focus events and the
// announcements, in order.
struct Heard
{
    struct Event
    {
        QAccessible::Event type;
        QObject *object;
        int child;
        QString text;
    };
    static inline QList<Event> events;
    QAccessible::UpdateHandler previous;

    Heard()
    {
        events.clear();
        previous = QAccessible::installUpdateHandler(record);
    }
    ~Heard() { QAccessible::installUpdateHandler(previous); }
    static void record(QAccessibleEvent *e)
    {
        if (e->type() == QAccessible::Focus) {
            events.append({e->type(), e->object(), e->child(), {}});
        } else if (e->type() == QAccessible::ObjectShow) {
            QAccessibleInterface *a = e->accessibleInterface();
            if (a && a->role() == QAccessible::Notification)
                events.append({e->type(), e->object(), -1, a->text(QAccessible::Name)});
        }
    }
    static QStringList announced()
    {
        QStringList texts;
        for (const Event &e : std::as_const(events))
            if (e.type == QAccessible::ObjectShow)
                texts << e.text;
        return texts;
    }
    // The rows of the view that raised the focus, -1 for the view itself.
    static QList<int> focusFrom(QObject *view)
    {
        QList<int> rows;
        for (const Event &e : std::as_const(events))
            if (e.type == QAccessible::Focus && e.object == view)
                rows << e.child;
        return rows;
    }
    // The lines the announcements speak for, in order: a null string for each line a
    // summary only counts.
    static QStringList linesSpoken()
    {
        static const QRegularExpression summary(QStringLiteral("^新着(\\d+)行。最後の行：(.*)$"),
                                                QRegularExpression::DotMatchesEverythingOption);
        QStringList lines;
        for (const QString &text : announced()) {
            const QRegularExpressionMatch m = summary.match(text);
            if (!m.hasMatch()) {
                lines += text.split(u'\n');
                continue;
            }
            for (int i = 1; i < m.captured(1).toInt(); ++i)
                lines << QString();
            lines << m.captured(2);
        }
        return lines;
    }
};

class TestChatWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void serverStartLinesWithBothOptions()
    {
        const quint16 port = freePort();
        auto w = Window::server(QStringLiteral("S"), port, true, true);
        const QString ip = w->main->winsock().localIP();
        QCOMPARE(w->log(), QStringList({"*****  常に最前面に表示するように設定　*****",
                                        "*****  最小化したとき、相手に通知します　*****",
                                        "*****  サーバを確立しました　*****",
                                        "*****  あなたのＩＰアドレスは　" + ip + "  です  *****"}));
        QCOMPARE(w->selectedRow(), 3);
        QCOMPARE(w->names(), QStringList({"S"}));
        QCOMPARE(w->main->windowTitle(), QStringLiteral("hub"));
        QVERIFY(w->main->windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(w->main->winsock().serverPort(0), port);
        QVERIFY(!ip.startsWith(QStringLiteral("127.")) || ip == QStringLiteral("127.0.0.1"));
        QVERIFY(!QHostAddress(ip).isNull());
    }

    void serverWithoutOptionsAndTheFirstDisplay()
    {
        auto w = Window::server(QStringLiteral("S"), freePort());
        QCOMPARE(w->log().size(), 2);
        QCOMPARE(w->log().first(), QStringLiteral("*****  サーバを確立しました　*****"));
        QVERIFY(!(w->main->windowFlags() & Qt::WindowStaysOnTopHint));
        QVERIFY(QTest::qWaitForWindowExposed(w->main));
        QVERIFY(w->main->isActiveWindow() || QTest::qWaitForWindowActive(w->main));
        QCOMPARE(QApplication::focusWidget(), w->main->recieveList());
        QTest::keyClick(w->main->recieveList(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), w->main->tSend());
        // The first display consumes the load flag and nothing else.
        QCOMPARE(w->state.JustLoaded, false);
        QCOMPARE(w->state.MinimizedFlag, false);
        QCOMPARE(w->main->size(), QSize(312, 86));
        QVERIFY(!(w->main->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w->main->windowFlags() & Qt::WindowMinimizeButtonHint);
        const QList<QPair<QWidget *, QString>> names = {{w->main->recieveList(), "チャットの記録"},
                                                        {w->main->tSend(), "発言"},
                                                        {w->main->nameList(), "参加者"}};
        for (const auto &[widget, name] : names)
            QCOMPARE(QAccessible::queryAccessibleInterface(widget)->text(QAccessible::Name), name);
        // The log's lines can be read through it too.
        QAccessibleInterface *log = QAccessible::queryAccessibleInterface(w->main->recieveList());
        QCOMPARE(log->childCount(), w->log().size());
        QCOMPARE(log->child(0)->text(QAccessible::Name), w->log().first());
        QVERIFY(!w->main->windowIcon().isNull());
        QVERIFY(w->main->windowIcon().availableSizes().contains(QSize(32, 32)));
        QCOMPARE(w->main->recieveList()->objectName(), QStringLiteral("RecieveList"));
        QCOMPARE(w->main->tSend()->objectName(), QStringLiteral("TSend"));
        QCOMPARE(w->main->nameList()->objectName(), QStringLiteral("NameList"));
    }

    // Run offscreen by the suite, and on a real X server by tst_chatwindow_x11.
    void captionsShowTheTitleAsTyped()
    {
        for (const QString &title : {QStringLiteral("会議[*]室 [*][*]"), QString()}) {
            auto w = Window::with({.HandleName = "n", .PortText = QString::number(freePort()), .ServerMode = true,
                                   .TitleText = title});
            QVERIFY(QTest::qWaitForWindowExposed(w->main));
            QCOMPARE(w->main->windowHandle()->title(), title);
#ifdef LANCHAT_HAVE_XCB
            if (QGuiApplication::platformName() == QLatin1String("xcb")) {
                QTest::qWait(50);
                // Window managers draw a text of their own for an empty name.
                QCOMPARE(x11Name(w->main), title.isEmpty() ? QStringLiteral(" ") : title);
            }
#endif
        }
    }

    void longTextFitsTheListsAndHoverShowsItWhole()
    {
        auto w = Window::server(QStringLiteral("S"), freePort());
        QVERIFY(QTest::qWaitForWindowExposed(w->main));
        const QString name(300, u'名');
        const QString line = QStringLiteral("S >> <b>") + QString(3000, u'長');
        w->state.NameList.add(name);
        w->state.RecieveList.AppendLog(line);
        w->state.RecieveList.flush();
        const QRegularExpression logTip(QStringLiteral("^<p>\\d\\d:\\d\\d:\\d\\d</p><p style=\"white-space:pre-wrap\">S &gt;&gt; &lt;b&gt;長{1992}…（全3008文字）</p>$"));
        for (QAbstractItemView *view : std::initializer_list<QAbstractItemView *>{w->main->recieveList(), w->main->nameList()}) {
            const QModelIndex last = view->model()->index(view->model()->rowCount() - 1, 0);
            const QString text = last.data().toString();
            QCOMPARE(text, view == w->main->nameList() ? name : line);
            // As wide as the list, so its text ends in "…"; never a sideways scroll bar.
            QTRY_COMPARE(view->visualRect(last).width(), view->viewport()->width());
            QCOMPARE(view->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

            const QPoint at = view->visualRect(last).center();
            QHelpEvent hover(QEvent::ToolTip, at, view->viewport()->mapToGlobal(at));
            QApplication::sendEvent(view->viewport(), &hover);
            QTRY_VERIFY(QToolTip::isVisible());
            if (view == w->main->nameList())
                QCOMPARE(QToolTip::text(), "<p style=\"white-space:pre-wrap\">" + name + "</p>");
            else
                QVERIFY2(logTip.match(QToolTip::text()).hasMatch(), qPrintable(QToolTip::text().left(80)));
            QToolTip::hideText();

            view->setCurrentIndex(last);
            QCOMPARE(view->contextMenuPolicy(), Qt::ActionsContextMenu);
            QCOMPARE(view->actions().size(), 1);
            QCOMPARE(view->actions().first()->text(), QStringLiteral("コピー"));
            view->actions().first()->trigger();
            QCOMPARE(QGuiApplication::clipboard()->text(), text);
            QGuiApplication::clipboard()->clear();
            QTest::keySequence(view, QKeySequence::Copy);
            QCOMPARE(QGuiApplication::clipboard()->text(), text);
        }
    }

    // While the user types, a screen reader hears every line the log shows, once and in
    // order, at a pace that a flood cannot pile up, and keeps its place in the entry line.
    void screenReaderHearsEachLineAndKeepsItsPlace()
    {
        // Qt raises these events only while its bridge to a screen reader is on, which
        // tst_chatwindow_a11y sees to; elsewhere this is skipped.
        if (QGuiApplication::platformName() == QLatin1String("offscreen")
            || !QTest::qWaitFor([] { return QAccessible::isActive(); }, 5000))
            QSKIP("Qt's accessibility is not on: run by tst_chatwindow_a11y");
        Heard heard;
        QElapsedTimer clock;
        clock.start();
        auto w = Window::server(QStringLiteral("S"), freePort());
        w->main->activateWindow(); // no window manager does it here
        QVERIFY(QTest::qWaitForWindowActive(w->main));
        QCOMPARE(QAccessible::queryAccessibleInterface(w->main)->role(), QAccessible::Window);
        w->main->tSend()->setFocus();
        LogModel &log = w->state.RecieveList;
        QTRY_COMPARE(heard.announced(), w->log()); // the start lines, each on its own
        const qsizetype focusWhileItHadIt = heard.focusFrom(w->main->recieveList()).size(); // the log had it at first

        log.AppendLog(QStringLiteral("S >> 一"));
        QTRY_COMPARE(heard.announced().last(), QStringLiteral("S >> 一"));
        // A refresh that shows more than three lines: one announcement counts them and
        // reads the last, a long line up to its limit.
        const QString longLine(Announcer::MaxSpokenChars + 50, u'長');
        for (const char *line : {"S >> 二", "S >> 三", "S >> 四", "S >> 五"})
            log.AppendLog(QString::fromUtf8(line));
        log.AppendLog(longLine);
        QTRY_COMPARE(heard.announced().last(),
                     "新着5行。最後の行：" + longLine.left(Announcer::MaxSpokenChars) + "…（全250文字）");
        // Lines in refreshes of their own, faster than anyone types: more lines than
        // announcements, each line still spoken for, in order; the last, blank, as such.
        for (int i = 0; i < 12; ++i) {
            log.AppendLog(i == 11 ? QString() : QStringLiteral("S >> %1").arg(i));
            log.flush();
        }
        QTRY_VERIFY_WITH_TIMEOUT(heard.linesSpoken().size() == w->log().size(), 4 * Announcer::RefillMs);
        QTest::qWait(LogModel::RefreshMs);
        const QStringList lines = w->log();
        const QStringList spoken = heard.linesSpoken();
        QCOMPARE(spoken.size(), lines.size());
        for (int i = 0; i < lines.size(); ++i)
            QVERIFY2(spoken.at(i).isNull() || spoken.at(i) == Announcer::spokenText(lines.at(i)), qPrintable(spoken.at(i)));
        QCOMPARE(spoken.last(), QStringLiteral("（空行）"));
        QVERIFY(heard.announced().size() < lines.size());
        QVERIFY(heard.announced().size() <= Announcer::Burst + clock.elapsed() / Announcer::RefillMs);

        // Nothing of this is seen, and the entry line kept the focus: the log selected
        // each new line without raising the focus.
        for (QWidget *a : w->main->findChildren<QWidget *>(QLatin1String(AnnouncementName)))
            QVERIFY(!a->isVisible());
        QCOMPARE(QApplication::focusWidget(), w->main->tSend());
        QCOMPARE(w->selectedRow(), lines.size() - 1);
        QCOMPARE(heard.focusFrom(w->main->recieveList()).size(), focusWhileItHadIt);

        // Entering the log reads the line one is on; a participant who left reads as such.
        w->main->recieveList()->setFocus(Qt::TabFocusReason);
        QTRY_COMPARE(heard.focusFrom(w->main->recieveList()).last(), lines.size() - 1);
        w->state.NameList.add(QStringLiteral(" "));
        QCOMPARE(QAccessible::queryAccessibleInterface(w->main->nameList())->child(1)->text(QAccessible::Name),
                 QStringLiteral("（退出）"));
        QCOMPARE(w->main->nameList()->model()->index(1, 0).data().toString(), QStringLiteral(" "));
    }

    void creationResetsCountersAndMarks()
    {
        SessionState state;
        state.slotTable.SizeOfClient = 4;
        state.slotTable.ConnCount = 4;
        state.OwnSlot = 3;
        state.MinimizedFlag = true;
        state.slotTable.ClosedSlot[50] = 50;
        state.slotTable.SlotName[2] = QStringLiteral("kept");
        ChatWindow m(state);
        QCOMPARE(state.slotTable.SizeOfClient, qint16(0));
        QCOMPARE(state.slotTable.ConnCount, 0);
        QCOMPARE(state.OwnSlot, qint16(0));
        QCOMPARE(state.MinimizedFlag, false);
        QCOMPARE(state.slotTable.ClosedSlot[50], qint16(0));
        QCOMPARE(state.slotTable.SlotName[2], QStringLiteral("kept"));
        QCOMPARE(state.JustLoaded, false);
    }

    void serverAcceptsARealConnection()
    {
        const quint16 port = freePort();
        auto w = Window::server(QStringLiteral("S"), port);
        RawPeer peer(port);
        QVERIFY(peer.waitConnected());
        QTRY_COMPARE(w->size(), 1);
        QCOMPARE(w->log().last(), QStringLiteral("1人目の接続を受けつけました"));
        QCOMPARE(w->state.slotTable.ConnCount, 1);
    }

    void portInUseIsReportedAsAFailure()
    {
        QTcpServer holder;
        QVERIFY(holder.listen(QHostAddress::Any, 0));
        auto w = Window::server(QStringLiteral("S"), holder.serverPort());
        const QStringList log = w->log();
        QCOMPARE(log.size(), 2);
        QVERIFY(!log.first().isEmpty());
        QCOMPARE(log.last(), QStringLiteral("*****　接続失敗　*****"));
        QVERIFY(!log.contains(QStringLiteral("*****  サーバを確立しました　*****")));
        QCOMPARE(w->names(), QStringList({"S"}));
        QCOMPARE(w->selectedRow(), 1);
    }

    void portThatIsNotANumber_data()
    {
        QTest::addColumn<QString>("port");
        QTest::addColumn<bool>("server");
        QTest::newRow("letters, server") << "abc" << true;
        QTest::newRow("zero, server") << "0" << true;
        QTest::newRow("too large, client") << "65536" << false;
        QTest::newRow("negative, client") << "-1" << false;
        QTest::newRow("fraction, client") << "98.5" << false;
        QTest::newRow("full-width zeros, server") << "００" << true;
    }
    void portThatIsNotANumber()
    {
        QFETCH(QString, port);
        QFETCH(bool, server);
        auto w = Window::with({.HandleName = "n", .PortText = port, .HostText = "127.0.0.1", .ServerMode = server});
        const QStringList log = w->log();
        QCOMPARE(log.size(), 2);
        QVERIFY2(log.first().contains(QStringLiteral("「") + port + QStringLiteral("」")), qPrintable(log.first()));
        QCOMPARE(log.last(), QStringLiteral("*****　接続失敗　*****"));
        QVERIFY(!w->main->winsock().isConnected(0));
        QCOMPARE(w->main->winsock().serverPort(0), quint16(0));
        QVERIFY(w->main->isVisible());
    }

    void portAsPeopleTypeIt()
    {
        const quint16 port = freePort();
        const QString digits = QString::number(port);
        QString wide;
        for (QChar c : digits)
            wide += QChar(c.unicode() - u'0' + 0xFF10);
        for (const QString &typed : {wide, " " + digits + " ", "00" + digits, "0" + digits, "　" + wide + "　"})
            QCOMPARE(Window::with({.HandleName = "n", .PortText = typed, .ServerMode = true})->main->winsock().serverPort(0), port);
        QTcpServer hub;
        QVERIFY(hub.listen(QHostAddress::LocalHost, port));
        auto c = Window::with({.HandleName = "n", .PortText = "0" + wide, .HostText = "127.0.0.1"});
        QVERIFY(hub.waitForNewConnection(3000));
    }

    void clientStartLineAndConnection()
    {
        const quint16 port = freePort();
        QTcpServer hub;
        QVERIFY(hub.listen(QHostAddress::LocalHost, port));
        auto w = Window::client(QStringLiteral("ab"), port);
        QCOMPARE(w->log(), QStringList({"接続中..."}));
        QCOMPARE(w->selectedRow(), 0);
        QVERIFY(w->names().isEmpty());
        QVERIFY(hub.waitForNewConnection(3000));
        QTcpSocket *peer = hub.nextPendingConnection();
        QByteArray got;
        QTRY_VERIFY((got += peer->readAll()).size() >= 16);
        QCOMPARE(got, QByteArray("_RqSck _Cnnct ab"));
        QTRY_COMPARE(w->log().last(), QStringLiteral("*****　接続に成功しました　*****"));
    }

    void unloadClosesEverySocket()
    {
        const quint16 port = freePort();
        auto w = Window::server(QStringLiteral("S"), port);
        std::vector<std::unique_ptr<RawPeer>> peers;
        for (int i = 0; i < 3; ++i) {
            peers.push_back(std::make_unique<RawPeer>(port));
            QVERIFY(peers.back()->waitConnected());
        }
        QTRY_COMPARE(w->size(), 3);
        peers[1]->socket.disconnectFromHost();
        QTRY_COMPARE(w->state.slotTable.ClosedSlot[2], qint16(2));
        w->main->close();
        for (auto &p : peers)
            QTRY_COMPARE(p->socket.state(), QAbstractSocket::UnconnectedState);
        QTcpSocket late;
        late.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(!late.waitForConnected(1000) || late.waitForDisconnected(1000));
    }

    void gatheredLinesKeepOrderAndSelection()
    {
        auto w = Window::server(QStringLiteral("S"), freePort());
        QListView *list = w->main->recieveList();
        auto shown = [&] { return list->model()->rowCount(); };
        QTRY_COMPARE(shown(), 2); // the start lines, then the log is idle
        QTest::qWait(LogModel::RefreshMs * 2);
        w->state.RecieveList.AppendLog(QStringLiteral("a"));
        QCOMPARE(shown(), 2); // not while the event that logs it runs: the relay goes first
        QTRY_COMPARE(shown(), 3); // then at once
        w->state.RecieveList.AppendLog(QStringLiteral("b")); // gathered
        w->state.RecieveList.addLine(QStringLiteral("c")); // gathered; does not move the selection
        QTest::qWait(LogModel::RefreshMs / 4);
        QCOMPARE(shown(), 3);
        QCOMPARE(list->currentIndex().row(), 2);
        QTRY_COMPARE(shown(), 5);
        QCOMPARE(list->currentIndex().row(), 3);
        QCOMPARE(list->model()->index(3, 0).data().toString(), QStringLiteral("b"));
        QCOMPARE(w->log().mid(2), QStringList({"a", "b", "c"}));
    }

    void logKeepsItsNewestLines()
    {
        auto w = Window::server(QStringLiteral("S"), freePort());
        for (int i = 0; i < LogModel::MaxLines + 5; ++i)
            w->state.RecieveList.AppendLog(QString::number(i));
        QCOMPARE(w->log().size(), LogModel::MaxLines);
        QCOMPARE(w->log().last(), QString::number(LogModel::MaxLines + 4));
        QCOMPARE(w->selectedRow(), LogModel::MaxLines - 1);

        // Long lines: the characters bound the log too, shown at once or gathered.
        w = Window::server(QStringLiteral("S"), freePort());
        const QString longLine(31999, QLatin1Char('x'));
        const int fit = int(LogModel::MaxChars / (longLine.size() + 1));
        for (int i = 0; i < fit + 10; ++i)
            w->state.RecieveList.AppendLog(longLine + QString::number(i % 10));
        const QStringList kept = w->log();
        const qsizetype chars = std::accumulate(kept.begin(), kept.end(), qsizetype(0),
                                                [](qsizetype n, const QString &l) { return n + l.size(); });
        QVERIFY(chars <= LogModel::MaxChars);
        QCOMPARE(kept.filter(longLine).size(), fit);
        QCOMPARE(kept.last(), longLine + QString::number((fit + 9) % 10));
        QCOMPARE(w->selectedRow(), kept.size() - 1);
        // A single line longer than the bound is still shown whole.
        w->state.RecieveList.AppendLog(QString(LogModel::MaxChars + 1, QLatin1Char('y')));
        QCOMPARE(w->log().size(), 1);
        QCOMPARE(w->log().last().size(), LogModel::MaxChars + 1);
    }
};

QTEST_MAIN(TestChatWindow)
#include "tst_chatwindow.moc"
