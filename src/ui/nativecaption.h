#pragma once

class QWidget;

// Makes the title bar of a window whose title is empty show nothing.
//
// Qt's X11 platform never gives a window an empty name: it puts the program's name in
// its place ("lanchat"). The chat window's title is whatever the user typed into
// "タイトル", and an empty one must stay empty, so on X11 the window's name properties
// are written empty once Qt has created the window. Elsewhere this does nothing.
void clearNativeCaption(QWidget *window);
