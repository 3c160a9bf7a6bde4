// SPDX-License-Identifier: MIT
#include "localaddress.h"

#include <QNetworkInterface>
#include <QUdpSocket>

#include <algorithm>

namespace {

QString firstIPv4(const QNetworkInterface &interface)
{
    const auto entries = interface.addressEntries();
    for (const QNetworkAddressEntry &entry : entries) {
        if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol && !entry.ip().isLoopback())
            return entry.ip().toString();
    }
    return {};
}

// The interface the system sends from to an address beyond the LAN, that is that of its
// default route. Connecting a UDP socket sends nothing: the system only picks the route.
// The addresses are documentation ones (RFC 5737, RFC 3849), no one's on a LAN.
QNetworkInterface defaultRouteInterface(const QHostAddress &beyond)
{
    QUdpSocket probe;
    probe.connectToHost(beyond, 9);
    const QHostAddress from = probe.localAddress();
    const auto interfaces = QNetworkInterface::allInterfaces();
    for (const QNetworkInterface &interface : interfaces) {
        const auto entries = interface.addressEntries();
        if (!from.isNull() && (interface.flags() & QNetworkInterface::IsUp)
            && std::any_of(entries.begin(), entries.end(), [&](const auto &e) { return e.ip().isEqual(from); }))
            return interface;
    }
    return {};
}

} // namespace

QString localAddress()
{
    QList<QNetworkInterface> candidates{defaultRouteInterface(QHostAddress(QStringLiteral("198.51.100.1"))),
                                        defaultRouteInterface(QHostAddress(QStringLiteral("2001:db8::1")))};
    for (const QNetworkInterface &interface : candidates + QNetworkInterface::allInterfaces()) {
        if (interface.isValid() && (interface.flags() & QNetworkInterface::IsUp))
            if (const QString a = firstIPv4(interface); !a.isEmpty())
                return a;
    }
    return QStringLiteral("127.0.0.1");
}
