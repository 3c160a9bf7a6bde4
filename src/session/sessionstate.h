#pragma once

#include <QString>
#include <QtGlobal>

#include <array>

// Booleans of the session are 16-bit integers holding -1 (true) or 0 (false).
using VBool = qint16;
constexpr VBool VTrue = -1;
constexpr VBool VFalse = 0;

// Maximum number of client slots on the hub; slot 0 is the listening socket.
constexpr int MaxSlots = 50;

// What the connection dialog collects. Written once by its OK step, read-only afterwards.
struct SessionSettings
{
    QString HandleName;
    QString PortText;
    QString HostText;
    VBool ServerMode = VFalse;
    VBool AlwaysOnTop = VFalse;
    VBool NotifyMinimize = VFalse;
    QString TitleText;
};

// The hub's table of client slots 0..50. The socket elements themselves live in the
// socket array; the name-list entries live in the chat window's name list.
struct SlotTable
{
    qint16 SizeOfClient = 0;
    qint32 ConnCount = 0;
    std::array<qint16, MaxSlots + 1> ClosedSlot{};
    std::array<QString, MaxSlots + 1> SlotName;
};

// All the state of one run of the program: one instance, created empty at start,
// owned by the program and passed to the windows and handlers that use it.
struct SessionState
{
    SessionSettings Settings;

    VBool MinimizedFlag = VFalse;
    VBool JustLoaded = VFalse;
    qint16 OwnSlot = 0;

    SlotTable Slots;
    QString PeerName;

    // Reset done when the chat window is created.
    void resetForChatWindow()
    {
        Slots.ConnCount = 0;
        Slots.SizeOfClient = 0;
        MinimizedFlag = VFalse;
        OwnSlot = 0;
        Slots.ClosedSlot.fill(0);
    }
};
