// SPDX-License-Identifier: MIT
#include "wireformat.h"

namespace WireFormat {

QString slotRequest()
{
    return QStringLiteral("_RqSck ");
}

QString connectAnnouncement(const QString &handleName)
{
    return QStringLiteral("_Cnnct ") + handleName;
}

QString slotNumber(int slot)
{
    return QStringLiteral("_SdSck ") + QString::number(slot);
}

QString nameEntry(const QString &name)
{
    return QStringLiteral("_NameL ") + name;
}

QString chatMessage(const QString &line)
{
    return QStringLiteral("_SendM ") + line;
}

QString departure(const QString &name)
{
    return QStringLiteral("_Clsck ") + name;
}

QString chatLine(const QString &handleName, const QString &text)
{
    return handleName + QStringLiteral(" >> ") + text;
}

QString departureLine(const QString &name)
{
    return QStringLiteral("*****  ") + name + QStringLiteral("さんが落ちました。。。  *****");
}

QString joinNotice(const QString &name, bool more)
{
    return QStringLiteral("*****　") + name
        + (more ? QStringLiteral("さんが入室しました  *****") : QStringLiteral("さんが入室しました　*****"));
}

QString joinLogLine(const QString &name)
{
    return QStringLiteral("*****  ") + name + QStringLiteral("さんが入室しました　*****");
}

QString acceptLine(int slot)
{
    return QString::number(slot) + QStringLiteral("人目の接続を受けつけました");
}

bool isRawLine(QStringView remainder)
{
    return remainder.isEmpty() || remainder.front() != u'_';
}

Segment cutSegment(QStringView remainder)
{
    Segment s;
    s.tag = remainder.left(6);
    // The seventh character is the separator; it is skipped unexamined.
    s.payload = remainder.size() > 7 ? remainder.mid(7) : QStringView();
    const qsizetype p = s.payload.indexOf(u'_');
    if (p < 0) {
        s.value = s.payload;
    } else {
        s.value = s.payload.left(p);
        s.rest = s.payload.mid(p);
        s.hasMore = true;
    }
    return s;
}

QString badPortLine(const QString &portText)
{
    return QStringLiteral("*****  ポート「%1」は使えません（1～65535の数字を入力して下さい）  *****").arg(portText);
}

QString tooLongLine(qsizetype length)
{
    return QStringLiteral("*****  長すぎるため送信しませんでした（「名前 >> 発言」は%1文字まで、今は%2文字）  *****")
        .arg(MaxLineChars)
        .arg(length);
}

} // namespace WireFormat
