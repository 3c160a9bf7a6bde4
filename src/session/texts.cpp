// SPDX-License-Identifier: MIT
#include "texts.h"

namespace Texts {

QString serverEstablished()
{
    return QStringLiteral("*****  サーバを確立しました　*****");
}

QString yourAddress(const QString &address)
{
    return QStringLiteral("*****  あなたのＩＰアドレスは　") + address + QStringLiteral("  です  *****");
}

QString accepted(int slot)
{
    return QString::number(slot) + QStringLiteral("人目の接続を受けつけました");
}

QString joined(const QString &name)
{
    return QStringLiteral("*****  ") + name + QStringLiteral("さんが入室しました　*****");
}

QString departed(const QString &name)
{
    return QStringLiteral("*****  ") + name + QStringLiteral("さんが落ちました。。。  *****");
}

QString fullHouse(int slotCount)
{
    return QStringLiteral("*****  満員のため接続をお断りしました（%1人）  *****").arg(slotCount);
}

QString registrationRefused(int slot)
{
    return QStringLiteral("*****  %1人目の接続からの名前の登録を断りました  *****").arg(slot);
}

QString lineNotRelayed(int slot, qsizetype length)
{
    return QStringLiteral("*****  %1人目の接続から届いた長すぎる行（%2文字）は中継しませんでした  *****")
        .arg(slot)
        .arg(length);
}

QString connecting()
{
    return QStringLiteral("接続中...");
}

QString connected()
{
    return QStringLiteral("*****　接続に成功しました　*****");
}

QString serverDown()
{
    return QStringLiteral("*****  サーバが落ちました！  *****");
}

QString notConnected()
{
    return QStringLiteral("*****　サーバに接続していないため、送信できませんでした　*****");
}

QString connectionFailed()
{
    return QStringLiteral("*****　接続失敗　*****");
}

QString badPort(const QString &portText)
{
    return QStringLiteral("*****  ポート「%1」は使えません（1～65535の数字を入力して下さい）  *****").arg(portText);
}

QString alwaysOnTop()
{
    return QStringLiteral("*****  常に最前面に表示するように設定　*****");
}

QString notifiesMinimize()
{
    return QStringLiteral("*****  最小化したとき、相手に通知します　*****");
}

QString lineTooLong(qsizetype maxChars, qsizetype length)
{
    return QStringLiteral("*****  長すぎるため送信しませんでした（「名前 >> 発言」は%1文字まで、今は%2文字）  *****")
        .arg(maxChars)
        .arg(length);
}

} // namespace Texts
