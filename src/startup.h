// SPDX-License-Identifier: MIT
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

// What the program settles before its application object exists.

// Chooses Qt's plain event dispatcher over the GLib one: the hub yields after every
// send, and GLib makes each yield several times dearer.
void chooseEventDispatcher();

// The Qt platform to run on, or empty to leave the choice to Qt.
//
// On a Wayland desktop Qt runs as a Wayland client whenever its Wayland plugin is
// installed, and Wayland lets no program keep its window above all others or see that
// it was minimized: "常に最前面に表示" would do nothing and no minimize notice would
// ever be sent. So when the session is Wayland, nobody chose a platform (QT_QPA_PLATFORM
// or -platform), and the X server of the session (XWayland) can be reached, the program
// runs on X11, where both work.
QByteArray chooseQtPlatform(const QProcessEnvironment &env, const QStringList &arguments,
                            const std::function<bool(const QString &display)> &xReachable);

// Whether there is a graphical session to run in: a Qt platform chosen (QT_QPA_PLATFORM
// or -platform), a Wayland display, or an X display that can be reached. Without one
// Qt would abort; the program says so in one line instead. Asked only where Qt runs on
// X11 or Wayland: elsewhere the system's own platform is taken to be there.
bool graphicalSessionFound(const QProcessEnvironment &env, const QStringList &arguments,
                           const std::function<bool(const QString &display)> &xReachable);

// Qt ends the program with abort() when its platform does not start after all: an X display
// on another host that cannot be reached, say. From catchPlatformFailure() until
// platformStarted(), such an end prints one line instead and exits with status 1, as
// without a session; Qt's messages of that time are passed on once the platform started.
void catchPlatformFailure();
void platformStarted();

// Whether the X display named as in DISPLAY can be reached: a local display (":0",
// "unix:0.0") when its socket exists in socketDir; one on another host is taken as
// reachable.
bool xDisplayReachable(const QString &display, const QString &socketDir = QStringLiteral("/tmp/.X11-unix"));
