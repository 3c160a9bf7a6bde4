// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

// The address people on the LAN can reach this machine at, dotted: the IPv4 address of the
// interface of the default route (IPv4, else IPv6, as the system chooses it), not that of a
// bridge for virtual machines or containers made before the LAN interface. Else the first
// address of an interface that is up; else 127.0.0.1.
QString localAddress();
