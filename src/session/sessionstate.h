// SPDX-License-Identifier: MIT
#pragma once

#include "logmodel.h"
#include "namelistmodel.h"

#include <QString>
#include <QtGlobal>

#include <array>
#include <optional>

// Maximum number of client slots on the hub; slot 0 is the listening socket.
constexpr int MaxSlots = 50;

// What the connection dialog collects. Written once by its OK step, read-only afterwards.
struct SessionSettings
{
    QString HandleName = {};
    QString PortText = {};
    QString HostText = {};
    bool ServerMode = false;
    bool AlwaysOnTop = false;
    bool NotifyMinimize = false;
    QString TitleText = {};

    // The port as people type it, when it is a whole number from 1 to 65535: full-width
    // digits (as a Japanese input method often types them), spaces around the number
    // and leading zeros change nothing, so 「９８９８」, " 9898 " and "09898" all mean 9898.
    std::optional<quint16> port() const;
};

// The hub's table of client slots 0..50. The socket elements themselves live in the
// socket array; the name-list entries are the session's NameList.
struct SlotTable
{
    qint16 SizeOfClient = 0;
    qint32 ConnCount = 0;
    std::array<qint16, MaxSlots + 1> ClosedSlot{};
    std::array<QString, MaxSlots + 1> SlotName;
};

// All the state of one run of the program: one instance, created empty at start,
// owned by the program and passed to the windows and handlers that use it. The
// handlers write the log and the participant list here; the chat window shows them.
struct SessionState
{
    SessionSettings settings;

    bool MinimizedFlag = false;
    bool JustLoaded = false;
    qint16 OwnSlot = 0;

    SlotTable slotTable;
    QString PeerName;

    LogModel RecieveList;   // the chat log
    NameListModel NameList; // the participants

    // Reset done when the chat window is created.
    void resetForChatWindow()
    {
        slotTable.ConnCount = 0;
        slotTable.SizeOfClient = 0;
        MinimizedFlag = false;
        OwnSlot = 0;
        slotTable.ClosedSlot.fill(0);
    }
};
