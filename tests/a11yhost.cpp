// SPDX-License-Identifier: MIT
// Host for the screen-reader checks (tests/atspi_test.py, scripts/screenreader.sh): the
// real chat windows of a hub "S" and a client "A" on a loopback port, with the focus in
// A's entry line, and a bare participant "B" that the commands on stdin drive.
//
//   lanchat-a11yhost          both windows
//   lanchat-a11yhost PORT     only A, joining the hub that listens on PORT on loopback
//                             (a screen reader then hears A alone, as on a LAN)
//
// Commands, one a line (TEXT runs to the end of the line; "|" parts three lines):
//   join              B connects and registers
//   line TEXT         B says TEXT
//   burst T1|T2|T3    B says three lines in one write, so that they arrive in one read
//   apart T1|T2|T3    B says three lines in three writes 20 ms apart
//   notice TEXT       B sends TEXT as a notice (a minimize or restore notice)
//   leave             B closes its connection
//   hubdown           the hub's window closes: A loses its server
//   focus             A's window is activated and its entry line focused
//   quit              (as does the end of stdin)
// On stdout, flushed each: "ready" once A has joined and its entry line has the focus,
// then "A<TAB>line" and "S<TAB>line" for each line a window's log shows, in order, and
// "done<TAB>command" once a command's last write is made.
// A tool for the checks, not part of the program, which keeps no command line.
#include "rawpeer.h"
#include "session/sessionstate.h"
#include "ui/chatwindow.h"

#include <QApplication>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

void print(const QString &record)
{
    std::fputs(qPrintable(record + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

struct Session
{
    SessionState state;
    std::unique_ptr<ChatWindow> window;

    Session(const QString &name, const SessionSettings &settings, QPoint at)
    {
        state.settings = settings;
        window = std::make_unique<ChatWindow>(state);
        QObject::connect(&state.RecieveList, &LogModel::linesShown, [name](const QStringList &lines) {
            for (const QString &line : lines)
                print(name + QLatin1Char('\t') + line);
        });
        window->move(at);
        window->loadAndShow();
    }
};

QByteArray said(const QString &text)
{
    return (QStringLiteral("_SendM B >> ") + text).toUtf8();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const quint16 port = argc > 1 ? quint16(QByteArray(argv[1]).toUShort()) : freePort();
    std::unique_ptr<Session> hub;
    if (argc < 2)
        hub = std::make_unique<Session>(
            QStringLiteral("S"),
            SessionSettings{.HandleName = "S", .PortText = QString::number(port), .ServerMode = true, .TitleText = "S"},
            QPoint(40, 40));
    Session a(QStringLiteral("A"),
              {.HandleName = "A", .PortText = QString::number(port), .HostText = "127.0.0.1", .TitleText = "A"},
              QPoint(40, 200));
    const auto focusA = [&a] {
        a.window->activateWindow();
        a.window->tSend()->setFocus();
    };
    focusA();

    std::unique_ptr<QTcpSocket> b;
    const auto send = [&b](const QByteArray &bytes) {
        if (b) {
            b->write(bytes);
            b->flush();
        }
    };
    QTimer readyCheck;
    readyCheck.setInterval(50);
    QObject::connect(&readyCheck, &QTimer::timeout, [&] {
        if (a.state.NameList.count() >= 2 && a.window->isActiveWindow() && QApplication::focusWidget() == a.window->tSend()) {
            readyCheck.stop();
            print(QStringLiteral("ready"));
        }
    });
    readyCheck.start();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            QCoreApplication::quit();
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            const QString command = line.section(QLatin1Char(' '), 0, 0);
            const QString text = line.section(QLatin1Char(' '), 1);
            const QStringList three = text.split(QLatin1Char('|'));
            const auto done = [command] { print(QStringLiteral("done\t") + command); };
            if (command == QLatin1String("join")) {
                b = std::make_unique<QTcpSocket>();
                QObject::connect(b.get(), &QTcpSocket::connected, [&, done] {
                    send("_RqSck ");
                    QTimer::singleShot(20, [&, done] {
                        send("_Cnnct B");
                        done();
                    });
                });
                b->connectToHost(QHostAddress::LocalHost, port);
            } else if (command == QLatin1String("line")) {
                send(said(text));
                done();
            } else if (command == QLatin1String("burst")) {
                QByteArray all;
                for (const QString &t : three)
                    all += said(t);
                send(all);
                done();
            } else if (command == QLatin1String("apart")) {
                for (int i = 0; i < three.size(); ++i)
                    QTimer::singleShot(20 * i, [&, t = three.at(i), last = i == three.size() - 1, done] {
                        send(said(t));
                        if (last)
                            done();
                    });
            } else if (command == QLatin1String("notice")) {
                send((QStringLiteral("_SendM ") + text).toUtf8());
                done();
            } else if (command == QLatin1String("leave")) {
                if (b)
                    b->disconnectFromHost();
                done();
            } else if (command == QLatin1String("hubdown")) {
                if (hub)
                    hub->window->close(); // closes its sockets; the window goes at exit, never under a call of its own
                done();
            } else if (command == QLatin1String("focus")) {
                focusA();
                done();
            } else if (command == QLatin1String("quit")) {
                QCoreApplication::quit();
            }
        }
    });
    const int status = app.exec();
    b.reset();
    hub.reset();
    return status;
}
