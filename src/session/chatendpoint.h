// SPDX-License-Identifier: MIT
#pragma once

#include <QString>
#include <QtGlobal>

// This copy's role in the chat: the hub or a client. The chat window creates one at its
// load step, hands it every socket event, each typed line and each minimize or restore,
// and asks nothing else about the role.
class ChatEndpoint
{
public:
    virtual ~ChatEndpoint() = default;

    // The network side of the load step: the hub listens, a client connects.
    virtual void open() = 0;
    // Closes every socket: the window is closing.
    virtual void closeAll() = 0;

    // Socket events, with the element's index.
    virtual void ConnectionRequest(int index, qint64 requestID) = 0;
    virtual void Connect(int index) = 0;
    virtual void DataArrival(int index) = 0;
    virtual void Close(int index) = 0;
    virtual void Error(int index, const QString &description) = 0;

    // Sends the user's chat line (nickname, " >> ", text). False when it could not be
    // sent, so that the typed text stays in the entry line.
    virtual bool sendChatLine(const QString &line) = 0;
    // Tells the others that this window was minimized or restored.
    virtual void sendNotice(bool minimized) = 0;
};
