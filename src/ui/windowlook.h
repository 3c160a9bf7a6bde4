// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>
#include <QSize>
#include <QWidget>

// What both windows share: their objectName, the program's icon, and the design's font
// and fixed size at 96 dots per inch (15 twips to a pixel).
inline void setUpWindow(QWidget *window, const QString &objectName, QSize size)
{
    window->setObjectName(objectName);
    window->setWindowIcon(QIcon(QStringLiteral(":/lanchat/lanchat-32.png")));
    QFont f = window->font();
    f.setPixelSize(12);
    window->setFont(f);
    window->setFixedSize(size);
}
