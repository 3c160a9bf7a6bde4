// SPDX-License-Identifier: MIT
#include "chatwindow.h"

#include "accessibleroles.h"
#include "announcer.h"
#include "client/clientendpoint.h"
#include "nativecaption.h"
#include "net/wireformat.h"
#include "readablelist.h"
#include "windowlook.h"
#include "server/serverhub.h"
#include "session/texts.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLineEdit>
#include <QListView>

#include <limits>

namespace {

// The title as typed: Qt reads "[*]" in a window title as the place of its "modified"
// mark and removes it, and shows "[*][*]" as "[*]"; doubling every "[*]" shows them all.
QString literalTitle(const QString &title)
{
    QString t = title;
    return t.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

QListView *listView(QWidget *parent, QAbstractItemModel *model, const char *name, const QString &accessibleName)
{
    auto *view = new ReadableList(parent);
    view->setModel(model);
    view->setObjectName(QString::fromLatin1(name));
    view->setAccessibleName(accessibleName);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Thousands of lines on a long-running hub: one height for all keeps adding cheap.
    view->setUniformItemSizes(true);
    return view;
}

} // namespace

ChatWindow::ChatWindow(SessionState &state, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                          | Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint)
    , m_state(state)
{
    installAccessibleRoles();
    setUpWindow(this, QStringLiteral("Main"), {312, 86});

    m_recieveList = listView(this, &m_state.RecieveList, "RecieveList", QStringLiteral("チャットの記録"));
    m_recieveList->setGeometry(8, 8, 297, 52);

    m_tSend = new QLineEdit(this);
    m_tSend->setObjectName(QStringLiteral("TSend"));
    m_tSend->setGeometry(8, 64, 209, 18);
    m_tSend->setAccessibleName(QStringLiteral("発言"));
    m_tSend->setMaxLength(std::numeric_limits<int>::max()); // Qt's default would cut a pasted line silently

    m_nameList = listView(this, &m_state.NameList, "NameList", QStringLiteral("参加者"));
    m_nameList->setGeometry(224, 64, 81, 16);

    setTabOrder(m_recieveList, m_tSend);
    setTabOrder(m_tSend, m_nameList);
    m_recieveList->setFocus(); // first in the tab order: it has the focus when the window opens

    connect(m_tSend, &QLineEdit::returnPressed, this, &ChatWindow::sendTypedLine);
    connect(&m_state.RecieveList, &LogModel::rowSelected, this,
            [this](int row) { m_recieveList->setCurrentIndex(m_state.RecieveList.index(row)); });
    // What the log shows is spoken from here too, so that the two never disagree.
    auto *announcer = new Announcer(this);
    connect(&m_state.RecieveList, &LogModel::linesShown, this, [this, announcer](const QStringList &lines) {
        announcer->linesShown(lines);
        if (isMinimized() || !isActiveWindow())
            QApplication::alert(this);
    });

    m_state.resetForChatWindow();
}

ChatWindow::~ChatWindow()
{
    unload();
}

void ChatWindow::loadAndShow()
{
    if (!m_loaded) {
        m_loaded = true;
        load();
        if (m_state.settings.TitleText.isEmpty()) {
            winId(); // the native window, with the name Qt gives it
            clearNativeCaption(this);
        }
    }
    show();
}

// The load step: the options, the caption, then the role's network side. This is the
// one place that asks which role this copy has.
void ChatWindow::load()
{
    const SessionSettings &s = m_state.settings;
    if (s.AlwaysOnTop) {
        setWindowFlag(Qt::WindowStaysOnTopHint, true);
        m_state.RecieveList.AppendLog(Texts::alwaysOnTop());
    }
    setWindowTitle(literalTitle(s.TitleText));
    if (s.NotifyMinimize)
        m_state.RecieveList.AppendLog(Texts::notifiesMinimize());

    if (s.ServerMode)
        m_endpoint = std::make_unique<ServerHub>(m_state, m_winsock);
    else
        m_endpoint = std::make_unique<ClientEndpoint>(m_state, m_winsock);
    ChatEndpoint *e = m_endpoint.get();
    connect(&m_winsock, &Winsock::ConnectionRequest, this, [e](int index, qint64 id) { e->ConnectionRequest(index, id); });
    connect(&m_winsock, &Winsock::Connect, this, [e](int index) { e->Connect(index); });
    connect(&m_winsock, &Winsock::DataArrival, this, [e](int index) { e->DataArrival(index); });
    connect(&m_winsock, &Winsock::Close, this, [e](int index) { e->Close(index); });
    connect(&m_winsock, &Winsock::Error, this, [e](int index, const QString &d) { e->Error(index, d); });
    e->open();
    m_state.JustLoaded = true;
}

void ChatWindow::unload()
{
    if (m_unloaded)
        return;
    m_unloaded = true;
    if (m_endpoint)
        m_endpoint->closeAll();
}

void ChatWindow::closeEvent(QCloseEvent *event)
{
    unload();
    event->accept();
}

void ChatWindow::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // The first display counts as the window's first resize.
    if (!m_displayed) {
        m_displayed = true;
        m_minimized = isMinimized();
        windowResized();
    }
}

// The window cannot be resized by the user, so after its first display its size changes
// only by minimizing and restoring; each such change counts as one resize.
void ChatWindow::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !m_displayed)
        return;
    const bool minimized = isMinimized();
    if (minimized == m_minimized)
        return;
    m_minimized = minimized;
    windowResized();
}

// The first resize after loading is the first display; each later one is a minimize or
// a restore, in turn, announced to the others when the user asked for that.
void ChatWindow::windowResized()
{
    if (m_state.JustLoaded) {
        m_state.JustLoaded = false;
        return;
    }
    m_state.MinimizedFlag = !m_state.MinimizedFlag;
    if (m_state.settings.NotifyMinimize && m_endpoint)
        m_endpoint->sendNotice(m_state.MinimizedFlag);
}

void ChatWindow::sendTypedLine()
{
    const QString text = m_tSend->text();
    if (text.isEmpty() || !m_endpoint)
        return;
    const QString line = WireFormat::chatLine(m_state.settings.HandleName, text);
    if (line.size() > WireFormat::MaxLineChars) {
        // The hub would not relay it: nothing is sent, and the text stays to be shortened.
        m_state.RecieveList.AppendLog(Texts::lineTooLong(WireFormat::MaxLineChars, line.size()));
        return;
    }
    if (m_endpoint->sendChatLine(line))
        m_tSend->clear();
}

int ChatWindow::selectedLogRow()
{
    m_state.RecieveList.flush();
    return m_recieveList->currentIndex().row();
}
