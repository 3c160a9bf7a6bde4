// SPDX-License-Identifier: MIT
#include "startup.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>
#include <cstdlib>
#include <vector>

void chooseEventDispatcher()
{
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
}

namespace {

bool platformChosen(const QProcessEnvironment &env, const QStringList &arguments)
{
    if (!env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty())
        return true;
    for (const QString &a : arguments) {
        if (a == u"-platform" || a == u"--platform" || a.startsWith(u"-platform=") || a.startsWith(u"--platform="))
            return true;
    }
    return false;
}

} // namespace

bool graphicalSessionFound(const QProcessEnvironment &env, const QStringList &arguments,
                           const std::function<bool(const QString &display)> &xReachable)
{
#if !defined(Q_OS_UNIX) || defined(Q_OS_DARWIN) || defined(Q_OS_ANDROID)
    return true; // no DISPLAY there; a platform that does not start is caught later
#endif
    if (platformChosen(env, arguments) || !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        return true;
    const QString display = env.value(QStringLiteral("DISPLAY"));
    return !display.isEmpty() && xReachable(display);
}

QByteArray chooseQtPlatform(const QProcessEnvironment &env, const QStringList &arguments,
                            const std::function<bool(const QString &display)> &xReachable)
{
    if (platformChosen(env, arguments))
        return {};
    const bool wayland = env.value(QStringLiteral("XDG_SESSION_TYPE")) == u"wayland"
        || !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty();
    const QString display = env.value(QStringLiteral("DISPLAY"));
    if (!wayland || display.isEmpty() || !xReachable(display))
        return {};
    return QByteArrayLiteral("xcb");
}

bool xDisplayReachable(const QString &display, const QString &socketDir)
{
    static const QRegularExpression local(QStringLiteral("^(?:unix)?:(\\d+)(?:\\.\\d+)?$"));
    const QRegularExpressionMatch m = local.match(display);
    if (!m.hasMatch())
        return !display.isEmpty(); // another host, over TCP
    return QFileInfo::exists(socketDir + QStringLiteral("/X") + m.captured(1));
}

namespace {

// A message of Qt's while its platform starts, kept with what its context points to
// (literals, which live as long as the program).
struct HeldMessage
{
    QtMsgType type;
    const char *file;
    int line;
    const char *function;
    const char *category;
    QString text;
};
QtMessageHandler previousHandler = nullptr;
std::vector<HeldMessage> heldMessages;

void holdOrFail(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg) {
        heldMessages.push_back({type, context.file, context.line, context.function, context.category, text});
        return;
    }
    // Qt's own reason comes first as a warning ("could not connect to display ..."); its
    // fatal text only advises reinstalling.
    const QString reason = heldMessages.empty() ? text.section(u'\n', 0, 0) : heldMessages.front().text;
    std::fprintf(stderr,
                 "lanchat: a graphical session is needed (Qt could not start on it: %s; "
                 "QT_QPA_PLATFORM or -platform chooses another Qt platform)\n",
                 qPrintable(reason));
    std::_Exit(1);
}

} // namespace

void catchPlatformFailure()
{
    previousHandler = qInstallMessageHandler(holdOrFail);
}

void platformStarted()
{
    qInstallMessageHandler(previousHandler);
    for (const HeldMessage &m : heldMessages) {
        const QMessageLogContext context(m.file, m.line, m.function, m.category);
        qt_message_output(m.type, context, m.text);
    }
    heldMessages.clear();
}
