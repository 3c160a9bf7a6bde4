// SPDX-License-Identifier: MIT
#include "connectform.h"

#include "accessibleroles.h"
#include "windowlook.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>

#include <limits>
#include <utility>

namespace {

void criticalBox(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QStringLiteral("入力エラー"), text, QMessageBox::Ok, parent);
    box.exec();
}

// Every control of the dialog: a child named for the accessibility tree, at its place.
template <typename Control, typename... Args>
Control *place(QWidget *parent, const char *name, const QRect &geometry, Args &&...args)
{
    auto *c = new Control(std::forward<Args>(args)..., parent);
    c->setObjectName(QString::fromLatin1(name));
    c->setGeometry(geometry);
    return c;
}

QLineEdit *field(QWidget *parent, const char *name, const QRect &geometry)
{
    auto *e = place<QLineEdit>(parent, name, geometry);
    e->setMaxLength(std::numeric_limits<int>::max()); // no length limit: nothing is cut
    return e;
}

QPushButton *button(QWidget *parent, const char *name, const QString &text, const QRect &geometry)
{
    auto *b = place<QPushButton>(parent, name, geometry, text);
    // Neither Enter nor Escape presses a button of this dialog.
    b->setAutoDefault(false);
    b->setDefault(false);
    return b;
}

} // namespace

ConnectForm::ConnectForm(SessionState &state, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint)
    , m_state(state)
    , m_errorBox(criticalBox)
{
    installAccessibleRoles();
    setUpWindow(this, QStringLiteral("ConnectForm"), {286, 150});
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("接続"));
    createControls();
    nameFieldsForScreenReaders();
    connectControls();
    initialiseHost();
    Handle->setFocus();
}

void ConnectForm::createControls()
{
    Handle = field(this, "Handle", {184, 8, 97, 18});
    Host = field(this, "Host", {184, 40, 97, 18});
    Port = field(this, "Port", {184, 72, 97, 18});
    Port->setText(QStringLiteral("9898"));
    OK = button(this, "OK", QStringLiteral("OK"), {56, 128, 65, 17});
    Cancel = button(this, "Cancel", QStringLiteral("キャンセル"), {168, 128, 65, 17});
    OpServer = place<QRadioButton>(this, "OpServer", {8, 8, 121, 17}, QStringLiteral("サーバ"));
    OpServer->setChecked(true);
    OpClient = place<QRadioButton>(this, "OpClient", {8, 32, 129, 17}, QStringLiteral("クライアント"));
    MinimumNotice = place<QCheckBox>(this, "MinimumNotice", {8, 56, 121, 17}, QStringLiteral("最小化通知"));
    Front = place<QCheckBox>(this, "Front", {8, 80, 129, 17}, QStringLiteral("常に最前面に表示"));
    Text1 = place<QLabel>(this, "Text1", {136, 8, 49, 18}, QStringLiteral("名前"));
    Text2 = place<QLabel>(this, "Text2", {136, 40, 49, 18}, QStringLiteral("ホスト"));
    Text3 = place<QLabel>(this, "Text3", {136, 72, 49, 18}, QStringLiteral("ポート"));
    Text4 = place<QLabel>(this, "Text4", {8, 104, 57, 18}, QStringLiteral("タイトル"));
    TitleBar = field(this, "TitleBar", {64, 104, 217, 18});
}

// The captions name their fields for screen readers.
void ConnectForm::nameFieldsForScreenReaders()
{
    const std::pair<QLabel *, QLineEdit *> captions[] = {{Text1, Handle}, {Text2, Host}, {Text3, Port}, {Text4, TitleBar}};
    for (const auto &[caption, field] : captions) {
        caption->setBuddy(field);
        field->setAccessibleName(caption->text());
    }
}

void ConnectForm::connectControls()
{
    QWidget *order[] = {Handle, Host, Port, OK, Cancel, OpServer, OpClient, MinimumNotice, Front, TitleBar};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(OpServer, &QRadioButton::clicked, this, &ConnectForm::OpServer_Click);
    connect(OpClient, &QRadioButton::clicked, this, &ConnectForm::OpClient_Click);
    connect(OK, &QPushButton::clicked, this, &ConnectForm::OK_Click);
    connect(Cancel, &QPushButton::clicked, this, &ConnectForm::Cancel_Click);
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
    SessionSettings &s = m_state.settings;
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
