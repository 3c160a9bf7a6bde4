// SPDX-License-Identifier: MIT
#pragma once

// Shared by the tests that open real chat windows on loopback ports.

#include "rawpeer.h"
#include "shown.h"
#include "ui/chatwindow.h"

#include <QLineEdit>
#include <QListView>

#include <QtTest>

#include <memory>
#include <vector>

// One run of the program's chat window with its own session state.
struct Window : ShownSession
{
    QPointer<ChatWindow> main;

    // A window opened with these settings.
    static std::unique_ptr<Window> with(const SessionSettings &settings)
    {
        auto w = std::make_unique<Window>();
        w->state.settings = settings;
        w->open();
        return w;
    }
    static std::unique_ptr<Window> server(const QString &nick, quint16 port, bool notify = false, bool top = false)
    {
        return with({.HandleName = nick, .PortText = QString::number(port), .ServerMode = true, .AlwaysOnTop = top,
                     .NotifyMinimize = notify, .TitleText = QStringLiteral("hub")});
    }
    static std::unique_ptr<Window> client(const QString &nick, quint16 port, bool notify = false)
    {
        return with({.HandleName = nick, .PortText = QString::number(port), .HostText = QStringLiteral("127.0.0.1"),
                     .NotifyMinimize = notify, .TitleText = nick});
    }
    void open()
    {
        main = new ChatWindow(state);
        main->loadAndShow();
    }
    ~Window() { delete main.data(); }

    // The row the log's view has selected.
    int selectedRow() const { return main->selectedLogRow(); }
    int size() const { return state.slotTable.SizeOfClient; }
};


// A test class whose every test runs against a fresh hub window ("S") on a free port,
// with client windows joined as a test needs them.
class HubTest : public QObject
{
    Q_OBJECT

protected:
    quint16 port = 0;
    std::unique_ptr<Window> hub;
    std::vector<std::unique_ptr<Window>> clients;

    // Opens a client window per name, each waiting until its name list is complete.
    bool joinClients(const QStringList &names, bool notify = false)
    {
        for (const QString &n : names) {
            clients.push_back(Window::client(n, port, notify));
            Window *c = clients.back().get();
            if (!QTest::qWaitFor([&] { return c->names().size() == int(clients.size()) + 1; }, 5000))
                return false;
        }
        return true;
    }

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init()
    {
        port = freePort();
        hub = Window::server(QStringLiteral("S"), port);
    }
    void cleanup()
    {
        clients.clear();
        hub.reset();
    }
};
