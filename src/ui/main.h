#pragma once

#include "client/clientendpoint.h"
#include "net/winsock.h"
#include "server/serverhub.h"
#include "session/sessionstate.h"
#include "windowcontrols.h"

#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>

class LogModel;
class QLineEdit;
class QListView;
class QListWidget;

// Registers the windows' icon, kept in this library's resources, which a static library
// does not register by itself.
void initLanchatResources();

// The chat window: the log of lines RecieveList, the entry line TSend and the
// participant list NameList, with the socket array Winsock. As hub it listens and
// relays; as client it connects to the hub.
class Main : public QWidget, public WindowControls
{
    Q_OBJECT

public:
    // Most lines the log keeps; the oldest are dropped beyond it.
    static constexpr int MaxLogLines = 10000;
    // Lines may be long (up to the relay bound and beyond, from a careless hub), so the
    // log is bounded by its characters too: about 4 MB of text, oldest lines first.
    static constexpr qsizetype MaxLogChars = 2000000;
    // Every registration appends a name-list entry and a departure only blanks one, so
    // clients that come and go would grow the list without end. Positions 0 to MaxSlots
    // are the ones that walks and departures read and write; past this many entries the
    // oldest entry beyond them goes, which nothing on the wire can tell.
    static constexpr int MaxNameListEntries = 10000;
    // The hub's walks yield after every send. A yield looks whether a connection has
    // something waiting at most every YieldCheckNs, and handles everything pending when
    // one has; the window's own events (typing, painting) are handled at least every
    // FullYieldMs.
    static constexpr qint64 YieldCheckNs = 50000;
    static constexpr qint64 FullYieldMs = 5;
    // A line added to an idle log is shown at once; lines that follow within this time
    // are gathered and shown together, so that a flood of lines costs one update of
    // the list, not one each.
    static constexpr int LogRefreshMs = 200;

    // Creating the window resets the slot counters and flags of the session.
    explicit Main(SessionState &state, QWidget *parent = nullptr);
    ~Main() override;

    // Runs the load step once, then shows the window.
    void Show();

    void AppendLog(const QString &line) override;
    void addLogLine(const QString &line) override;
    void selectLastLogLine() override;
    int nameListCount() const override;
    QString nameListItem(int i) const override;
    void nameListAdd(const QString &name) override;
    void setNameListItem(int i, const QString &name) override;

    // Enter in the entry line (key code 13) sends the typed line.
    void TSend_KeyPress(int keyAscii);
    // The window was displayed for the first time, minimized or restored.
    void Form_Resize();

    // The log as shown once gathered lines are in: its lines and the selected one.
    void flushLog();
    int logCount();
    QString logLine(int i);
    int selectedLogRow();

    SessionState &state() { return m_state; }
    Winsock &winsock() { return m_winsock; }
    ServerHub &hub() { return m_hub; }
    QListView *recieveList() const { return m_recieveList; }
    QListWidget *nameList() const { return m_nameList; }
    QLineEdit *tSend() const { return m_tSend; }

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void Form_Initialize();
    void Form_Load();
    void Form_Unload();
    void addLine(const QString &line);
    void selectLogRow(int row);
    void sendNotice(bool minimized);
    void onDataArrival(int index);
    void onClose(int index);
    void onError(int index, const QString &description);

    SessionState &m_state;
    Winsock m_winsock;
    ServerHub m_hub;
    ClientEndpoint m_client;

    LogModel *m_log;
    QListView *m_recieveList;
    QLineEdit *m_tSend;
    QListWidget *m_nameList;

    QElapsedTimer m_yieldClock;
    qint64 m_lastYieldCheck = 0;
    qint64 m_lastFullYield = 0;
    QTimer m_logTimer;
    QStringList m_pendingLog; // added, not yet in RecieveList
    QList<QTime> m_pendingTimes; // when each was added
    qsizetype m_pendingChars = 0;
    int m_pendingSelect = -1; // position in m_pendingLog of the line to select
    bool m_loaded = false;
    bool m_displayed = false;
    bool m_unloaded = false;
    bool m_minimized = false;
};
