// SPDX-License-Identifier: MIT
#include "connectform.h"

#include "windowlook.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include <limits>

namespace {

void criticalBox(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("入力エラー"), text, QMessageBox::Ok, parent);
    box.exec();
}

} // namespace

ConnectForm::ConnectForm(SessionState &state, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint)
    , m_state(state)
    , m_errorBox(criticalBox)
{
    setUpWindow(this, QStringLiteral("ConnectForm"), {286, 150});
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("接続"));

    auto lineEdit = [this](const char *name, int x, int y, int w, int h) {
        auto *e = new QLineEdit(this);
        e->setObjectName(QString::fromLatin1(name));
        e->setGeometry(x, y, w, h);
        e->setMaxLength(std::numeric_limits<int>::max()); // no length limit: nothing is cut
        return e;
    };
    auto label = [this](const char *name, const QString &text, int x, int y, int w, int h) {
        auto *l = new QLabel(text, this);
        l->setObjectName(QString::fromLatin1(name));
        l->setGeometry(x, y, w, h);
        return l;
    };
    auto button = [this](const char *name, const QString &text, int x, int y, int w, int h) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(QString::fromLatin1(name));
        b->setGeometry(x, y, w, h);
        // Neither Enter nor Escape presses a button of this dialog.
        b->setAutoDefault(false);
        b->setDefault(false);
        return b;
    };

    Handle = lineEdit("Handle", 184, 8, 97, 18);
    Host = lineEdit("Host", 184, 40, 97, 18);
    Port = lineEdit("Port", 184, 72, 97, 18);
    Port->setText(QStringLiteral("9898"));
    OK = button("OK", QStringLiteral("OK"), 56, 128, 65, 17);
    Cancel = button("Cancel", QStringLiteral("キャンセル"), 168, 128, 65, 17);
    OpServer = new QRadioButton(QStringLiteral("サーバ"), this);
    OpServer->setObjectName(QStringLiteral("OpServer"));
    OpServer->setGeometry(8, 8, 121, 17);
    OpServer->setChecked(true);
    OpClient = new QRadioButton(QStringLiteral("クライアント"), this);
    OpClient->setObjectName(QStringLiteral("OpClient"));
    OpClient->setGeometry(8, 32, 129, 17);
    MinimumNotice = new QCheckBox(QStringLiteral("最小化通知"), this);
    MinimumNotice->setObjectName(QStringLiteral("MinimumNotice"));
    MinimumNotice->setGeometry(8, 56, 121, 17);
    Front = new QCheckBox(QStringLiteral("常に最前面に表示"), this);
    Front->setObjectName(QStringLiteral("Front"));
    Front->setGeometry(8, 80, 129, 17);
    Text1 = label("Text1", QStringLiteral("名前"), 136, 8, 49, 18);
    Text2 = label("Text2", QStringLiteral("ホスト"), 136, 40, 49, 18);
    Text3 = label("Text3", QStringLiteral("ポート"), 136, 72, 49, 18);
    Text4 = label("Text4", QStringLiteral("タイトル"), 8, 104, 57, 18);
    TitleBar = lineEdit("TitleBar", 64, 104, 217, 18);

    // The captions name their fields for screen readers.
    Text1->setBuddy(Handle);
    Text2->setBuddy(Host);
    Text3->setBuddy(Port);
    Text4->setBuddy(TitleBar);
    Handle->setAccessibleName(Text1->text());
    Host->setAccessibleName(Text2->text());
    Port->setAccessibleName(Text3->text());
    TitleBar->setAccessibleName(Text4->text());

    QWidget *order[] = {Handle, Host, Port, OK, Cancel, OpServer, OpClient, MinimumNotice, Front, TitleBar};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(OpServer, &QRadioButton::clicked, this, &ConnectForm::OpServer_Click);
    connect(OpClient, &QRadioButton::clicked, this, &ConnectForm::OpClient_Click);
    connect(OK, &QPushButton::clicked, this, &ConnectForm::OK_Click);
    connect(Cancel, &QPushButton::clicked, this, &ConnectForm::Cancel_Click);

    initialiseHost();
    Handle->setFocus();
}

void ConnectForm::setErrorBox(ErrorBox box)
{
    m_errorBox = std::move(box);
}

void ConnectForm::initialiseHost()
{
    if (OpServer->isChecked()) {
        Host->setText(QStringLiteral("自分のパソコン"));
        Host->setEnabled(false);
    }
}

void ConnectForm::OpServer_Click()
{
    Host->setText(QStringLiteral("自分のパソコン"));
    Host->setEnabled(false);
}

void ConnectForm::OpClient_Click()
{
    Host->setEnabled(true);
    Host->setText(QStringLiteral("127.0.0.1"));
}

void ConnectForm::inputError(const QString &text)
{
    m_errorBox(this, text);
}

void ConnectForm::OK_Click()
{
    SessionSettings &s = m_state.Settings;
    const bool server = OpServer->isChecked();
    if (Handle->text().isEmpty()) {
        inputError(QStringLiteral("ニックネームを入力して下さい！"));
        return;
    }
    if (Port->text().isEmpty()) {
        inputError(QStringLiteral("ポートを入力して下さい！\r\n不具合がなければ、既定値にして下さい"));
        return;
    }
    if (!server && Host->text().isEmpty()) {
        inputError(QStringLiteral("接続先を入力して下さい！"));
        return;
    }
    s.HandleName = Handle->text();
    if (!server)
        s.HostText = Host->text();
    s.PortText = Port->text();
    s.AlwaysOnTop = Front->checkState() != Qt::Unchecked;
    s.NotifyMinimize = MinimumNotice->checkState() != Qt::Unchecked;
    s.TitleText = TitleBar->text();
    s.ServerMode = server;

    emit accepted();
    close();
}

void ConnectForm::Cancel_Click()
{
    close();
}
