// SPDX-License-Identifier: MIT
#include "localaddress.h"

#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>

#include <map>

namespace {

// The route flags of /proc/net/route and /proc/net/ipv6_route.
constexpr unsigned RouteUp = 0x0001;
constexpr unsigned RouteReject = 0x0200;

// Default routes by metric, from one table. Its columns:
// /proc/net/route: Iface Destination Gateway Flags RefCnt Use Metric Mask ...
// /proc/net/ipv6_route: Destination PrefixLength Source SourceLength NextHop Metric
//                       RefCnt Use Flags Iface
void addDefaultRoutes(std::multimap<unsigned, QString> &out, const QString &path, bool ipv6)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return;
    const qsizetype iface = ipv6 ? 9 : 0, dest = ipv6 ? 0 : 1, flags = ipv6 ? 8 : 3, metric = ipv6 ? 5 : 6;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QByteArrayList f = line.simplified().split(' ');
        if (f.size() < (ipv6 ? 10 : 8) || f[iface] == "lo" || f[iface] == "Iface")
            continue;
        const bool isDefault = ipv6 ? (f[dest] == QByteArray(32, '0') && f[1] == "00")
                                    : (f[dest] == "00000000" && f[7] == "00000000");
        const unsigned routeFlags = f[flags].toUInt(nullptr, 16);
        if (isDefault && (routeFlags & RouteUp) && !(routeFlags & RouteReject))
            out.emplace(f[metric].toUInt(nullptr, ipv6 ? 16 : 10), QString::fromLatin1(f[iface]));
    }
}

QString firstIPv4(const QNetworkInterface &interface)
{
    if (!interface.isValid() || !(interface.flags() & QNetworkInterface::IsUp))
        return {};
    const auto entries = interface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        const QHostAddress a = entry.ip();
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
            return a.toString();
    }
    return {};
}

} // namespace

QString localAddress()
{
    for (const bool ipv6 : {false, true}) {
        std::multimap<unsigned, QString> routes;
        addDefaultRoutes(routes, ipv6 ? QStringLiteral("/proc/net/ipv6_route") : QStringLiteral("/proc/net/route"), ipv6);
        for (const auto &[metric, name] : routes) {
            if (const QString a = firstIPv4(QNetworkInterface::interfaceFromName(name)); !a.isEmpty())
                return a;
        }
    }
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        if (const QString a = firstIPv4(interface); !a.isEmpty())
            return a;
    }
    return QStringLiteral("127.0.0.1");
}
