// SPDX-License-Identifier: MIT
#pragma once

#include "net/winsock.h"
#include "session/chatendpoint.h"
#include "session/sessionstate.h"

#include <QWidget>

#include <memory>

class QLineEdit;
class QListView;

// The chat window (objectName "Main"): the log RecieveList, the entry line TSend and the
// participant list NameList, shown from the session's models, with the socket array
// Winsock. Its load step creates the hub or the client, which handles every socket
// event; the window only shows, and passes on what the user does.
class ChatWindow : public QWidget
{
    Q_OBJECT

public:
    // Creating the window resets the slot counters and flags of the session.
    explicit ChatWindow(SessionState &state, QWidget *parent = nullptr);
    ~ChatWindow() override;

    // Runs the load step once, then shows the window.
    void loadAndShow();

    // Enter in the entry line: sends the typed line.
    void sendTypedLine();
    // The window was displayed for the first time, minimized or restored.
    void windowResized();

    // The log line selected in the view, once gathered lines are shown.
    int selectedLogRow();

    SessionState &state() { return m_state; }
    Winsock &winsock() { return m_winsock; }
    QListView *recieveList() const { return m_recieveList; }
    QListView *nameList() const { return m_nameList; }
    QLineEdit *tSend() const { return m_tSend; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void load();
    void unload();

    SessionState &m_state;
    Winsock m_winsock;
    std::unique_ptr<ChatEndpoint> m_endpoint; // the hub or the client, from the load step

    QListView *m_recieveList;
    QLineEdit *m_tSend;
    QListView *m_nameList;

    bool m_loaded = false;
    bool m_displayed = false;
    bool m_unloaded = false;
    bool m_minimized = false;
};
