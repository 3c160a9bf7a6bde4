// SPDX-License-Identifier: MIT
#include "startup.h"

#include <QFileInfo>
#include <QRegularExpression>

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
