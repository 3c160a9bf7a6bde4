// SPDX-License-Identifier: MIT
#pragma once

class QWidget;

// Makes the title bar of a window whose title is empty show nothing.
//
// The chat window's title is whatever the user typed into "タイトル", and an empty one
// must stay empty. On X11 neither side lets an empty name through: Qt gives the window
// the program's name instead ("lanchat"), and window managers draw their own text for a
// window without a name (openbox: "Unnamed Window"). So once Qt has created the window,
// its name properties are written as one space, which shows as an empty title bar.
// Elsewhere this does nothing.
void clearNativeCaption(QWidget *window);
