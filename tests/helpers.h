#pragma once

// Shared by the tests that open real chat windows on loopback ports.

#include "rawpeer.h"
#include "session/sessionstate.h"
#include "ui/main.h"

#include <QListWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <memory>

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One run of the program's chat window with its own session state.
struct Window
{
    std::unique_ptr<SessionState> state = std::make_unique<SessionState>();
    QPointer<Main> main;

    static std::unique_ptr<Window> server(const QString &nick, quint16 port, bool notify = false, bool top = false)
    {
        auto w = std::make_unique<Window>();
        SessionSettings &s = w->state->Settings;
        s.HandleName = nick;
        s.PortText = QString::number(port);
        s.ServerMode = VTrue;
        s.NotifyMinimize = notify ? VTrue : VFalse;
        s.AlwaysOnTop = top ? VTrue : VFalse;
        s.TitleText = QStringLiteral("hub");
        w->open();
        return w;
    }
    static std::unique_ptr<Window> client(const QString &nick, quint16 port, bool notify = false)
    {
        auto w = std::make_unique<Window>();
        SessionSettings &s = w->state->Settings;
        s.HandleName = nick;
        s.HostText = QStringLiteral("127.0.0.1");
        s.PortText = QString::number(port);
        s.ServerMode = VFalse;
        s.NotifyMinimize = notify ? VTrue : VFalse;
        s.TitleText = nick;
        w->open();
        return w;
    }
    void open()
    {
        main = new Main(*state);
        main->Show();
    }
    ~Window() { delete main.data(); }

    QStringList log() const
    {
        QStringList out;
        for (int i = 0; i < main->logCount(); ++i)
            out << main->logLine(i);
        return out;
    }
    QStringList names() const
    {
        QStringList out;
        for (int i = 0; i < main->nameList()->count(); ++i)
            out << main->nameList()->item(i)->text();
        return out;
    }
    int selectedRow() const { return main->selectedLogRow(); }
    int size() const { return state->Slots.SizeOfClient; }
};

// A test class whose every test runs against a fresh hub window ("S") on a free port.
class HubTest : public QObject
{
    Q_OBJECT

protected:
    quint16 port = 0;
    std::unique_ptr<Window> hub;

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }
    void init()
    {
        port = freePort();
        hub = Window::server(QStringLiteral("S"), port);
    }
    void cleanup() { hub.reset(); }
};
