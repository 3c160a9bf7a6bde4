// SPDX-License-Identifier: MIT
#pragma once

// A session's state and what its log and name list show, read as plain lists: the base
// of the fixtures over in-memory sockets and of the tests' real chat windows.

#include "session/sessionstate.h"

struct ShownSession
{
    SessionState state;
    int askedRow = -1; // the row the log last asked its views to select

    ShownSession()
    {
        QObject::connect(&state.RecieveList, &LogModel::rowSelected, [this](int row) { askedRow = row; });
    }
    // The log, its gathered lines shown first.
    QStringList log()
    {
        state.RecieveList.flush();
        return state.RecieveList.lines();
    }
    QStringList names() const { return state.NameList.entries(); }
    // askedRow, once the gathered lines are shown.
    int selected()
    {
        state.RecieveList.flush();
        return askedRow;
    }
};
