// SPDX-License-Identifier: MIT
// The socket array on systems other than Linux, with Qt alone: nothing here touches the
// connection, so Qt's sockets do all the work.

#include "fastpath.h"

#include "stream.h"

#include <QTcpSocket>

namespace fastpath {

bool available()
{
    return false;
}

EpollSet::EpollSet() = default;
EpollSet::~EpollSet() = default;
void EpollSet::unwatch(qintptr) {}

void ReadinessProbe::watch(qintptr) {}

// Cannot tell: the hub's yield then always processes events.
bool ReadinessProbe::anyReady() const
{
    return true;
}

void StreamWatch::watch(qintptr, quint64) {}

int StreamWatch::take(Change *, int)
{
    return 0;
}

Stream *openStream(qintptr fd, QObject *parent)
{
    auto *socket = new QTcpSocket;
    socket->setSocketDescriptor(fd);
    return new QtStream(socket, parent);
}

void closeDescriptor(qintptr fd)
{
    QTcpSocket socket;
    if (socket.setSocketDescriptor(fd))
        socket.abort();
}

// Nothing written: the socket's buffer takes it all.
qint64 sendDirect(qintptr, const char *, qint64)
{
    return 0;
}

// Ethernet's full segment without options; no round trip.
PathInfo pathInfo(qintptr)
{
    return {1460, 0};
}

// Qt's KeepAliveOption alone, with the system's timing.
void setKeepAliveTiming(qintptr) {}

// Without routing tables the hub shows the first address that is up.
QStringList defaultRouteInterfaces()
{
    return {};
}

// Cannot tell: what Qt has read is all there is.
qint64 bytesWaiting(qintptr)
{
    return 0;
}

qint64 unsentBytes(qintptr)
{
    return 0;
}

bool windowTakes(qintptr, qint64)
{
    return true;
}

// Without cork a message may leave in a short segment before its rest.
bool setCorked(qintptr, bool)
{
    return false;
}

// Without a half close a refused connection is simply closed.
bool shutdownWrite(qintptr)
{
    return false;
}

} // namespace fastpath
