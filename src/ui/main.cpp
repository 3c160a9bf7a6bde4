#include "main.h"

#include "logmodel.h"
#include "nativecaption.h"
#include "readablelist.h"
#include "net/wireformat.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QTimer>

#include <limits>
#include <optional>

void initLanchatResources()
{
    Q_INIT_RESOURCE(lanchat);
}

namespace {

// The port as people type it, when it is a whole number from 1 to 65535. A Japanese
// input method often types digits full-width, and spaces or leading zeros around the
// number change nothing: 「９８９８」, " 9898 " and "09898" all mean 9898.
std::optional<quint16> portNumber(const QString &text)
{
    QString t = text.trimmed(); // also drops ideographic spaces
    for (QChar &c : t) {
        if (c >= u'\uFF10' && c <= u'\uFF19')
            c = QChar(c.unicode() - 0xFF10 + '0');
    }
    qsizetype zeros = 0;
    while (zeros < t.size() - 1 && t[zeros] == u'0')
        ++zeros;
    t.remove(0, zeros);
    if (t.isEmpty() || t.size() > 5)
        return std::nullopt;
    for (QChar c : t) {
        if (c < u'0' || c > u'9')
            return std::nullopt;
    }
    const int port = t.toInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return quint16(port);
}

// The title as typed: Qt reads "[*]" in a window title as the place of its "modified"
// mark and removes it, and shows "[*][*]" as "[*]"; doubling every "[*]" shows them all.
QString literalTitle(const QString &title)
{
    QString t = title;
    return t.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

QString badPortLine(const QString &text)
{
    return QStringLiteral("*****  ポート「%1」は使えません（1～65535の数字を入力して下さい）  *****").arg(text);
}

} // namespace

Main::Main(SessionState &state, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_state(state)
    , m_hub(state, m_winsock, *this)
    , m_client(state, m_winsock, *this)
{
    initLanchatResources();
    setObjectName(QStringLiteral("Main"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(QIcon(QStringLiteral(":/lanchat/lanchat-32.png")));

    // Sizes are those of the design at 96 dots per inch (15 twips to a pixel).
    QFont f = font();
    f.setPixelSize(12);
    setFont(f);
    setFixedSize(312, 86);

    m_log = new LogModel(this);
    m_recieveList = new QListView(this);
    m_recieveList->setModel(m_log);
    m_recieveList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_recieveList->setObjectName(QStringLiteral("RecieveList"));
    m_recieveList->setGeometry(8, 8, 297, 52);
    m_recieveList->setAccessibleName(QStringLiteral("チャットの記録"));
    m_recieveList->setUniformItemSizes(true);
    makeReadable(m_recieveList);

    m_tSend = new QLineEdit(this);
    m_tSend->setObjectName(QStringLiteral("TSend"));
    m_tSend->setGeometry(8, 64, 209, 18);
    m_tSend->setAccessibleName(QStringLiteral("発言"));
    m_tSend->setMaxLength(std::numeric_limits<int>::max()); // Qt's default would cut a pasted line silently

    m_nameList = new QListWidget(this);
    m_nameList->setObjectName(QStringLiteral("NameList"));
    m_nameList->setGeometry(224, 64, 81, 16);
    m_nameList->setAccessibleName(QStringLiteral("参加者"));
    // The hub appends an entry per registration and only blanks it on departure, so a
    // long-running hub has many; uniform sizes keep adding one from relaying them all out.
    m_nameList->setUniformItemSizes(true);
    makeReadable(m_nameList);

    setTabOrder(m_recieveList, m_tSend);
    setTabOrder(m_tSend, m_nameList);
    m_recieveList->setFocus(); // first in the tab order: it has the focus when the window opens

    connect(m_tSend, &QLineEdit::returnPressed, this, [this] { TSend_KeyPress(13); });

    connect(&m_winsock, &Winsock::ConnectionRequest, this, [this](int index, qint64 id) {
        if (m_state.Settings.ServerMode == VTrue)
            m_hub.ConnectionRequest(index, id);
    });
    connect(&m_winsock, &Winsock::Connect, this, [this](int index) {
        if (m_state.Settings.ServerMode != VTrue)
            m_client.Connect(index);
    });
    connect(&m_winsock, &Winsock::DataArrival, this, [this](int index) { onDataArrival(index); });
    connect(&m_winsock, &Winsock::Close, this, [this](int index) { onClose(index); });
    connect(&m_winsock, &Winsock::Error, this, [this](int index, const QString &d) { onError(index, d); });

    m_logTimer.setSingleShot(true);
    m_logTimer.setInterval(LogRefreshMs);
    connect(&m_logTimer, &QTimer::timeout, this, &Main::flushLog);

    // The hub's yield. Looking for waiting events costs a system call, so the yield looks
    // at most every YieldCheckNs; what it finds then is handled at once. A walk of sends
    // takes a few microseconds a slot, so events still run within a fraction of a
    // millisecond, in the order in which they came.
    m_yieldClock.start();
    m_hub.setDoEvents([this] {
        const qint64 now = m_yieldClock.nsecsElapsed();
        if (now - m_lastYieldCheck < YieldCheckNs)
            return;
        m_lastYieldCheck = now;
        if (m_winsock.eventsPending() || now - m_lastFullYield >= FullYieldMs * 1000000) {
            m_lastFullYield = now;
            QCoreApplication::processEvents();
        }
    });

    Form_Initialize();
}

Main::~Main()
{
    Form_Unload();
}

void Main::Form_Initialize()
{
    m_state.resetForChatWindow();
}

void Main::Show()
{
    if (!m_loaded) {
        m_loaded = true;
        Form_Load();
        if (m_state.Settings.TitleText.isEmpty()) {
            winId(); // the native window, with the name Qt gives it
            clearNativeCaption(this);
        }
    }
    show();
}

void Main::Form_Load()
{
    const SessionSettings &s = m_state.Settings;
    if (s.AlwaysOnTop == VTrue) {
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
        AppendLog(QStringLiteral("*****  常に最前面に表示するように設定　*****"));
    }
    setWindowTitle(literalTitle(s.TitleText));
    if (s.NotifyMinimize == VTrue)
        AppendLog(QStringLiteral("*****  最小化したとき、相手に通知します　*****"));

    const std::optional<quint16> port = portNumber(s.PortText);
    if (s.ServerMode == VTrue) {
        QString error;
        const bool listening = port && m_winsock.listen(0, *port, &error);
        nameListAdd(s.HandleName);
        if (listening) {
            addLogLine(QStringLiteral("*****  サーバを確立しました　*****"));
            AppendLog(QStringLiteral("*****  あなたのＩＰアドレスは　") + m_winsock.localIP()
                      + QStringLiteral("  です  *****"));
        } else {
            // Never reported as established when it is not.
            logConnectionFailure(*this, port ? error : badPortLine(s.PortText));
        }
    } else {
        m_winsock.close(0);
        if (port) {
            AppendLog(QStringLiteral("接続中..."));
            m_winsock.connectToHost(0, s.HostText, *port);
        } else {
            logConnectionFailure(*this, badPortLine(s.PortText));
        }
    }
    m_state.JustLoaded = VTrue;
}

void Main::Form_Unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    if (m_state.Settings.ServerMode == VTrue)
        m_hub.closeAll();
    else
        m_winsock.close(0);
}

void Main::closeEvent(QCloseEvent *event)
{
    Form_Unload();
    event->accept();
}

void Main::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The first display counts as the window's first resize.
    if (!m_displayed) {
        m_displayed = true;
        m_minimized = isMinimized();
        Form_Resize();
    }
}

// The window cannot be resized by the user, so after its first display its size changes
// only by minimizing and restoring; each such change counts as one resize.
void Main::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !m_displayed)
        return;
    const bool minimized = isMinimized();
    if (minimized == m_minimized)
        return;
    m_minimized = minimized;
    Form_Resize();
}

void Main::Form_Resize()
{
    if (m_state.JustLoaded == VTrue) {
        m_state.JustLoaded = VFalse;
        return;
    }
    m_state.MinimizedFlag = qint16(~m_state.MinimizedFlag);
    if (m_state.Settings.NotifyMinimize != VTrue)
        return;
    sendNotice(m_state.MinimizedFlag == VTrue);
}

void Main::sendNotice(bool minimized)
{
    const bool server = m_state.Settings.ServerMode == VTrue;
    QString closing;
    if (!minimized)
        closing = QStringLiteral("  さんが元に戻しました　*****");
    else if (server)
        closing = QStringLiteral("  さんが最初化しました　*****");
    else
        closing = QStringLiteral("  さんが最小化しました　*****");

    if (server) {
        m_hub.sendToOpenSlots(WireFormat::chatMessage(QStringLiteral("*****  ") + nameListItem(0) + closing));
        return;
    }
    if (!m_winsock.isConnected(0))
        return; // nobody to tell
    const int own = m_state.OwnSlot;
    // Before the name list has come, the user's own nickname stands in.
    const QString name = own >= 0 && own < nameListCount() ? nameListItem(own) : m_state.Settings.HandleName;
    m_winsock.sendData(0, WireFormat::chatMessage(QStringLiteral("*****  ") + name + closing));
}

void Main::TSend_KeyPress(int keyAscii)
{
    if (keyAscii != 13)
        return;
    const QString text = m_tSend->text();
    if (text.isEmpty())
        return;
    const QString line = WireFormat::chatLine(m_state.Settings.HandleName, text);
    if (line.size() > ServerHub::MaxLineChars) {
        // The hub would not relay it: nothing is sent, and the text stays to be shortened.
        AppendLog(QStringLiteral("*****  長すぎるため送信しませんでした（「名前 >> 発言」は%1文字まで、今は%2文字）  *****")
                      .arg(ServerHub::MaxLineChars)
                      .arg(line.size()));
        return;
    }
    if (m_state.Settings.ServerMode != VTrue) {
        if (!m_winsock.isConnected(0)) {
            // The typed text stays in the entry line to be sent later.
            AppendLog(QStringLiteral("*****　サーバに接続していないため、送信できませんでした　*****"));
            return;
        }
        m_winsock.sendData(0, WireFormat::chatMessage(line));
    } else {
        m_hub.BroadcastToClients(WireFormat::chatMessage(line));
        AppendLog(line);
    }
    m_tSend->clear();
}

void Main::onDataArrival(int index)
{
    if (index == 0) {
        if (m_state.Settings.ServerMode != VTrue)
            m_client.DataArrival();
        return;
    }
    m_hub.DataArrival(index);
}

void Main::onClose(int index)
{
    if (m_state.Settings.ServerMode == VTrue)
        m_hub.Close(index);
    else
        m_client.Close();
}

void Main::onError(int index, const QString &description)
{
    if (m_state.Settings.ServerMode == VTrue)
        m_hub.Error(index, description);
    else
        m_client.Error(description);
}

void Main::addLine(const QString &line)
{
    if (m_logTimer.isActive()) {
        // Gathered lines are bounded as the log is: a flood of long lines between two
        // refreshes would otherwise pile up here.
        m_pendingLog << line;
        m_pendingTimes << QTime::currentTime();
        m_pendingChars += line.size();
        while (m_pendingLog.size() > 1 && (m_pendingLog.size() > MaxLogLines || m_pendingChars > MaxLogChars)) {
            m_pendingChars -= m_pendingLog.takeFirst().size();
            m_pendingTimes.removeFirst();
            if (m_pendingSelect > 0)
                --m_pendingSelect;
        }
    } else {
        m_log->append({line}, {QTime::currentTime()});
        m_log->keepNewest(MaxLogLines, MaxLogChars);
        m_logTimer.start();
    }
    if (isMinimized() || !isActiveWindow())
        QApplication::alert(this);
}

void Main::selectLogRow(int row)
{
    m_recieveList->setCurrentIndex(m_log->index(row));
}

void Main::flushLog()
{
    if (m_pendingLog.isEmpty())
        return;
    const int base = m_log->rowCount();
    m_log->append(std::exchange(m_pendingLog, {}), std::exchange(m_pendingTimes, {}));
    m_pendingChars = 0;
    const int dropped = m_log->keepNewest(MaxLogLines, MaxLogChars);
    if (m_pendingSelect >= 0) {
        selectLogRow(std::max(base + m_pendingSelect - dropped, 0));
        m_pendingSelect = -1;
    }
    m_logTimer.start();
}

void Main::AppendLog(const QString &line)
{
    addLine(line);
    selectLastLogLine();
}

void Main::addLogLine(const QString &line)
{
    addLine(line);
}

void Main::selectLastLogLine()
{
    if (m_pendingLog.isEmpty())
        selectLogRow(m_log->rowCount() - 1);
    else
        m_pendingSelect = int(m_pendingLog.size()) - 1;
}

int Main::logCount()
{
    flushLog();
    return m_log->rowCount();
}

QString Main::logLine(int i)
{
    flushLog();
    return m_log->line(i);
}

int Main::selectedLogRow()
{
    flushLog();
    return m_recieveList->currentIndex().row();
}

int Main::nameListCount() const
{
    return m_nameList->count();
}

QString Main::nameListItem(int i) const
{
    const QListWidgetItem *item = i >= 0 ? m_nameList->item(i) : nullptr;
    return item ? item->text() : QString();
}

void Main::nameListAdd(const QString &name)
{
    m_nameList->addItem(name);
    if (m_nameList->count() > MaxNameListEntries)
        delete m_nameList->takeItem(MaxSlots + 1);
}

void Main::setNameListItem(int i, const QString &name)
{
    if (QListWidgetItem *item = i >= 0 ? m_nameList->item(i) : nullptr)
        item->setText(name);
}
