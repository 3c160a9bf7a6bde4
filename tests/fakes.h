// SPDX-License-Identifier: MIT
#pragma once

// An in-memory stand-in for the socket array, so that the handlers can be driven chunk
// by chunk and every send can be inspected.

#include "net/socketarray.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QStringList>

#include <functional>

struct SentRecord
{
    int index;
    QString text;
};

class FakeSockets : public SocketArray
{
public:
    FakeSockets() { load(0); }

    void load(int index) override
    {
        if (!loaded.contains(index)) {
            loaded.insert(index, ++nextSerial);
            connected.remove(index);
        }
        loads.append(index);
    }
    void unload(int index) override
    {
        loaded.remove(index);
        connected.remove(index);
        unloads.append(index);
    }
    bool isLoaded(int index) const override { return loaded.contains(index); }
    quint64 serial(int index) const override { return loaded.value(index, 0); }
    bool listen(int index, quint16 port, QString *error) override
    {
        if (failListen) {
            if (error)
                *error = QStringLiteral("listen failed");
            return false;
        }
        listening = isLoaded(index);
        listenPort = port;
        return true;
    }
    void accept(int index, qint64 requestID) override
    {
        accepted.append({index, requestID});
        if (isLoaded(index))
            connected.insert(index);
    }
    void refuse(qint64 requestID, const QByteArray &utf8) override { refused.append({requestID, QString::fromUtf8(utf8)}); }
    void connectToHost(int index, const QString &host, quint16 port) override
    {
        connects.append({index, host + QLatin1Char(':') + QString::number(port)});
    }
    bool isConnected(int index) const override { return connected.contains(index); }
    QString localIP() const override { return QStringLiteral("192.0.2.7"); }
    void sendData(int index, const QByteArray &utf8) override
    {
        // A send on an element that does not exist would be a crash in the real thing.
        if (!isLoaded(index))
            sendsOnMissing.append(index);
        sent.append({index, QString::fromUtf8(utf8)});
    }
    QString getData(int index) override { return incoming.take(index); }
    void close(int index) override
    {
        closes.append(index);
        connected.remove(index);
        if (index == 0)
            listening = false;
    }

    // What the hub sent to one element, in order.
    QStringList sentTo(int index) const
    {
        QStringList out;
        for (const auto &r : sent)
            if (r.index == index)
                out << r.text;
        return out;
    }

    QHash<int, quint64> loaded;
    QSet<int> connected;
    quint64 nextSerial = 0;
    QList<int> loads, unloads, closes, sendsOnMissing;
    QList<QPair<int, qint64>> accepted;
    QList<QPair<qint64, QString>> refused;
    QList<SentRecord> sent;
    QList<QPair<int, QString>> connects;
    QHash<int, QString> incoming;
    bool listening = false;
    bool failListen = false;
    quint16 listenPort = 0;
};
