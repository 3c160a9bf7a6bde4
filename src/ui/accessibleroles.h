// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

class QWidget;

// The roles screen readers see. A plain QWidget is exposed as a filler, so without this
// the connection dialog would not be named a dialog, and a screen reader would find no
// window to call active: the dialog (ConnectForm) is exposed as a dialog, the chat
// window (ChatWindow) as a window (a frame, on AT-SPI), and the chat window's
// announcements (a hidden widget named AnnouncementName, see Announcer) as
// notifications. A QWidget cannot set its own role, so this installs an accessibility
// factory; once per program, before any window exists.
void installAccessibleRoles();

inline constexpr char AnnouncementName[] = "announcement";
