// SPDX-License-Identifier: MIT
#include "localaddress.h"

#include <QFile>
#include <QNetworkInterface>

#include <map>

namespace {

// The interfaces of the default routes in one routing table, by metric. Its columns:
// /proc/net/route: Iface Destination Gateway Flags RefCnt Use Metric Mask ...
// /proc/net/ipv6_route: Destination PrefixLength Source SourceLength NextHop Metric
//                       RefCnt Use Flags Iface
std::multimap<unsigned, QString> defaultRoutes(bool ipv6)
{
    constexpr unsigned RouteUp = 0x0001, RouteReject = 0x0200;
    const qsizetype iface = ipv6 ? 9 : 0, dest = ipv6 ? 0 : 1, flags = ipv6 ? 8 : 3, metric = ipv6 ? 5 : 6;
    std::multimap<unsigned, QString> routes;
    QFile file(ipv6 ? QStringLiteral("/proc/net/ipv6_route") : QStringLiteral("/proc/net/route"));
    if (!file.open(QIODevice::ReadOnly))
        return routes;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArrayList f = line.simplified().split(' ');
        if (f.size() < (ipv6 ? 10 : 8) || f[iface] == "lo" || f[iface] == "Iface")
            continue;
        const bool isDefault = ipv6 ? (f[dest] == QByteArray(32, '0') && f[1] == "00")
                                    : (f[dest] == "00000000" && f[7] == "00000000");
        const unsigned routeFlags = f[flags].toUInt(nullptr, 16);
        if (isDefault && (routeFlags & RouteUp) && !(routeFlags & RouteReject))
            routes.emplace(f[metric].toUInt(nullptr, ipv6 ? 16 : 10), QString::fromLatin1(f[iface]));
    }
    return routes;
}

QString firstIPv4(const QNetworkInterface &interface)
{
    if (!interface.isValid() || !(interface.flags() & QNetworkInterface::IsUp))
        return {};
    const auto entries = interface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.ip().isLoopback())
            return entry.ip().toString();
    }
    return {};
}

} // namespace

QString localAddress()
{
    QList<QNetworkInterface> candidates;
    for (const bool ipv6 : {false, true}) {
        for (const auto &[metric, name] : defaultRoutes(ipv6))
            candidates.append(QNetworkInterface::interfaceFromName(name));
    }
    for (const QNetworkInterface &interface : candidates + QNetworkInterface::allInterfaces()) {
        if (const QString a = firstIPv4(interface); !a.isEmpty())
            return a;
    }
    return QStringLiteral("127.0.0.1");
}
