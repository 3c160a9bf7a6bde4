// SPDX-License-Identifier: MIT
#pragma once

// Texts the tests expect on the wire, written out here rather than taken from the code
// under test.

#include <QString>

// The join notice the hub sends the other clients.
inline QString joinNotice(const QString &name)
{
    return QStringLiteral("_SendM *****　") + name + QStringLiteral("さんが入室しました　*****");
}
