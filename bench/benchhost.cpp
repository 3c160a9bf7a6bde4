// SPDX-License-Identifier: MIT
// Benchmark host: opens the hub's chat window (offscreen is fine) on the port given on
// the command line, with the nickname "hub", and runs until SIGTERM or SIGINT.
// A tool for measuring the hub, not part of the program, which keeps no command line.
#include "session/sessionstate.h"
#include "startup.h"
#include "ui/chatwindow.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int signalPipe[2];
void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}
} // namespace

int main(int argc, char *argv[])
{
    chooseEventDispatcher();
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PORT\n", argv[0]);
        return 2;
    }
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    SessionState state;
    state.settings.HandleName = QStringLiteral("hub");
    state.settings.PortText = QString::fromLocal8Bit(argv[1]);
    state.settings.ServerMode = true;
    state.settings.TitleText = QStringLiteral("lanchat bench hub");
    ChatWindow hub(state);
    hub.loadAndShow();
    return app.exec();
}
