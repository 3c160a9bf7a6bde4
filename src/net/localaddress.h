// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The address people on the LAN can reach this machine at, dotted: the IPv4 address of
// the interface that holds the default route (IPv4 routes first, by metric, then IPv6
// ones), read from the system's routing tables (/proc/net/route, /proc/net/ipv6_route).
// A machine often has other interfaces too, such as a bridge for virtual machines or
// containers made before its LAN interface, whose addresses nobody on the LAN can reach.
// Without a default route (or those tables, on other systems), the first address of an
// interface that is up; without any, 127.0.0.1.
QString localAddress();
