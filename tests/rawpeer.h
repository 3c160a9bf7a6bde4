// SPDX-License-Identifier: MIT
#pragma once

// Bare TCP clients and free ports on loopback, for the tests of the hub and of the socket
// array. Needs Qt Network and Qt Test only.

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// A loopback port that was free a moment ago.
inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// A bare TCP peer that records every byte it receives.
struct RawPeer
{
    QTcpSocket socket;
    QByteArray received;

    explicit RawPeer(quint16 port)
    {
        QObject::connect(&socket, &QTcpSocket::readyRead, [this] { received += socket.readAll(); });
        socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool waitConnected() { return socket.waitForConnected(3000); }
    void send(const QByteArray &bytes)
    {
        socket.write(bytes);
        socket.flush();
    }
    void send(const QString &text) { send(text.toUtf8()); }
    QString text() const { return QString::fromUtf8(received); }

    // Registers as a real client does: two sends, then waits for its name list to end
    // with its own name.
    bool join(const QString &name)
    {
        if (!waitConnected())
            return false;
        send(QStringLiteral("_RqSck "));
        socket.waitForBytesWritten(1000);
        send(QStringLiteral("_Cnnct ") + name);
        return QTest::qWaitFor([&] { return text().endsWith(QStringLiteral("_NameL ") + name); }, 5000);
    }

    // What was received, cut into the hub's messages ("_Tag payload").
    QStringList messages() const
    {
        QStringList out;
        const QString t = text();
        qsizetype start = t.indexOf(QLatin1Char('_'));
        while (start >= 0) {
            const qsizetype next = t.indexOf(QLatin1Char('_'), start + 1);
            out << t.mid(start, next < 0 ? -1 : next - start);
            start = next;
        }
        return out;
    }
};

// A blocking POSIX socket connected to the loopback port, for what a Qt socket cannot
// show or do (telling a reset from an orderly close, clients in threads of their own);
// -1 when it cannot connect within 5 s. With `segment`, both ends send segments of at
// most that many bytes, as on a LAN.
inline int connectBlocking(quint16 port, int segment = 0)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (segment > 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &segment, sizeof segment);
    const timeval bound{5, 0}; // connect() and send() give up after it
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) == 0)
        return fd;
    ::close(fd);
    return -1;
}
