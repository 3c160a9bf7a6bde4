#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Bare TCP clients for trying a running hub by hand: they register as real clients do,
chat, and one of them leaves. Prints what each one received. Loopback only.

usage: scripts/rawclients.py [PORT] [NAMES...]
"""
import socket
import sys
import time

port = int(sys.argv[1]) if len(sys.argv) > 1 else 9898
names = sys.argv[2:] or ["raw1", "raw2", "raw3"]
clients = []
for name in names:
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    s.sendall(b"_RqSck ")
    time.sleep(0.05)
    s.sendall(("_Cnnct " + name).encode())
    time.sleep(0.2)
    clients.append((name, s))

for name, s in clients:
    s.sendall(("_SendM " + name + " >> こんにちは、" + name + "です").encode())
    time.sleep(0.2)

leaver = clients.pop(1)
leaver[1].close()
time.sleep(0.3)

for name, s in clients:
    s.settimeout(0.5)
    data = b""
    try:
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            data += chunk
    except socket.timeout:
        pass
    print(name + ": " + data.decode("utf-8", "replace"))
    s.close()
