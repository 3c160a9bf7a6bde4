// SPDX-License-Identifier: MIT
// lanchat: a chat program for a local network. One copy is the hub, the others
// connect to it. The program starts with the connection dialog; its OK opens the chat
// window, and closing that window ends the program.
#include "session/sessionstate.h"
#include "startup.h"
#include "ui/chatwindow.h"
#include "ui/connectform.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include <cstdio>
#include <memory>

namespace {

// Finds the graphical session to show the windows in, before Qt starts. False when there
// is none: the program keeps no command line of its own, so even --version or --help
// needs a window to show in.
bool chooseDisplay(int argc, char *argv[])
{
    chooseEventDispatcher();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const auto xReachable = [](const QString &display) { return xDisplayReachable(display); };
    if (!graphicalSessionFound(env, arguments, xReachable)) {
        std::fputs("lanchat: a graphical session is needed (no X11 or Wayland display found; "
                   "QT_QPA_PLATFORM or -platform chooses another Qt platform)\n",
                   stderr);
        return false;
    }
    const QByteArray platform = chooseQtPlatform(env, arguments, xReachable);
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    return true;
}

void describeApplication(QTranslator &qtTranslator)
{
    QApplication::setApplicationName(QStringLiteral("lanchat"));
    QApplication::setApplicationVersion(QStringLiteral(LANCHAT_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("localhost.lanchat.lanchat")); // the menu entry's name
    // Qt's own texts (message-box buttons, socket errors) in Japanese, when installed.
    if (qtTranslator.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);
}

} // namespace

int main(int argc, char *argv[])
{
    if (!chooseDisplay(argc, argv))
        return 1;
    catchPlatformFailure();
    QApplication app(argc, argv);
    platformStarted();
    QTranslator qtTranslator;
    describeApplication(qtTranslator);

    SessionState state;
    // The chat window lives until the event loop has ended: closing it only closes its
    // sockets and ends the loop, so it is never destroyed under a call of its own, such
    // as a relay that yields.
    std::unique_ptr<ChatWindow> chat;
    auto *dialog = new ConnectForm(state); // deletes itself when closed
    QObject::connect(dialog, &ConnectForm::accepted, [&] {
        chat = std::make_unique<ChatWindow>(state);
        chat->loadAndShow();
    });
    dialog->show();
    return app.exec();
}
