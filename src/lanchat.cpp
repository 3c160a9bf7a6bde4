// lanchat: a chat program for a local network. One copy is the hub, the others
// connect to it. The program starts with the connection dialog.
#include "session/connectform.h"
#include "session/sessionstate.h"
#include "startup.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

int main(int argc, char *argv[])
{
    chooseEventDispatcher();
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const QByteArray platform =
        chooseQtPlatform(QProcessEnvironment::systemEnvironment(), arguments, [](const QString &display) {
            return xDisplayReachable(display);
        });
    if (!platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("lanchat"));
    QApplication::setApplicationVersion(QStringLiteral(LANCHAT_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("lanchat"));

    // Qt's own texts (message-box buttons, socket errors) in Japanese, when installed.
    QTranslator qtTranslator;
    if (qtTranslator.load(QStringLiteral("qtbase_ja"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);

    SessionState state;
    auto *dialog = new ConnectForm(state);
    dialog->show();
    return app.exec();
}
