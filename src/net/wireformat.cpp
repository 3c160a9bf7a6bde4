// SPDX-License-Identifier: MIT
#include "wireformat.h"

namespace WireFormat {

QString joinNotice(const QString &name, bool more)
{
    return QStringLiteral("*****　") + name
        + (more ? QStringLiteral("さんが入室しました  *****") : QStringLiteral("さんが入室しました　*****"));
}

QString minimizedNotice(const QString &name, bool byHub)
{
    return QStringLiteral("*****  ") + name
        + (byHub ? QStringLiteral("  さんが最初化しました　*****") : QStringLiteral("  さんが最小化しました　*****"));
}

QString restoredNotice(const QString &name)
{
    return QStringLiteral("*****  ") + name + QStringLiteral("  さんが元に戻しました　*****");
}

QString fullHouseRefusal(int slotCount)
{
    return QStringLiteral("*****  満員のため接続できませんでした（%1人）  *****").arg(slotCount);
}

Segment cutSegment(QStringView remainder)
{
    // The seventh character is the separator; it is skipped unexamined.
    const QStringView payload = remainder.size() > 7 ? remainder.mid(7) : QStringView();
    const qsizetype p = payload.indexOf(u'_');
    return {remainder, remainder.left(6), payload, p < 0 ? payload : payload.left(p),
            p < 0 ? QStringView() : payload.mid(p), p >= 0};
}

} // namespace WireFormat
