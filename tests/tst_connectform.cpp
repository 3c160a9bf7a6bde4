// SPDX-License-Identifier: MIT
// The connection dialog: its defaults, role switching, input checks and what OK stores.

#include "ui/chatwindow.h"
#include "ui/connectform.h"

#include <QAccessible>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QtTest>

class TestConnectForm : public QObject
{
    Q_OBJECT

    // The dialog, with the chat window opened on accepted() as the program does it.
    struct Form
    {
        SessionState state;
        ConnectForm *form = new ConnectForm(state);
        QPointer<ConnectForm> guard{form};
        std::unique_ptr<ChatWindow> chat;
        bool dialogOpenWhenAccepted = false;
        QStringList errors;
        Form()
        {
            form->setErrorBox([this](QWidget *, const QString &text) { errors << text; });
            QObject::connect(form, &ConnectForm::accepted, [this] {
                dialogOpenWhenAccepted = guard && !guard->isHidden();
                chat = std::make_unique<ChatWindow>(state);
                chat->loadAndShow();
            });
            form->show();
        }
        ~Form() { delete guard.data(); }
    };

private slots:
    void initTestCase() { QApplication::setQuitOnLastWindowClosed(false); }

    void defaults()
    {
        SessionState state;
        ConnectForm f(state);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        QCOMPARE(f.windowTitle(), QStringLiteral("接続"));
        QVERIFY(f.OpServer->isChecked());
        QVERIFY(!f.OpClient->isChecked());
        QCOMPARE(f.Host->text(), QStringLiteral("自分のパソコン"));
        QVERIFY(!f.Host->isEnabled());
        QCOMPARE(f.Port->text(), QStringLiteral("9898"));
        QVERIFY(f.Handle->text().isEmpty() && f.TitleBar->text().isEmpty());
        QVERIFY(!f.MinimumNotice->isChecked() && !f.Front->isChecked());
        // No length limit: a long pasted text stays whole.
        const QString pasted(40000, u'x');
        for (QLineEdit *e : {f.Handle, f.Host, f.Port, f.TitleBar}) {
            e->setText(pasted);
            QCOMPARE(e->text().size(), pasted.size());
            e->clear();
        }
        QCOMPARE(QApplication::focusWidget(), f.Handle);
        QCOMPARE(f.size(), QSize(286, 150));
        QCOMPARE(f.minimumSize(), f.maximumSize());
        QVERIFY(!(f.windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));

        // Captions and accessible names.
        QCOMPARE(f.OK->text(), QStringLiteral("OK"));
        QCOMPARE(f.Cancel->text(), QStringLiteral("キャンセル"));
        QCOMPARE(f.OpServer->text(), QStringLiteral("サーバ"));
        QCOMPARE(f.OpClient->text(), QStringLiteral("クライアント"));
        QCOMPARE(f.MinimumNotice->text(), QStringLiteral("最小化通知"));
        QCOMPARE(f.Front->text(), QStringLiteral("常に最前面に表示"));
        QCOMPARE(f.Text1->buddy(), f.Handle);
        QCOMPARE(f.Handle->accessibleName(), QStringLiteral("名前"));
        QCOMPARE(f.Host->accessibleName(), QStringLiteral("ホスト"));
        QCOMPARE(f.Port->accessibleName(), QStringLiteral("ポート"));
        QCOMPARE(f.TitleBar->accessibleName(), QStringLiteral("タイトル"));

        // Tab order: Handle, Host (when enabled), Port, OK, Cancel, the role buttons, the options, TitleBar.
        f.OpClient_Click();
        QList<QWidget *> order;
        QWidget *w = f.Handle;
        for (int i = 0; i < 9; ++i) {
            w = w->nextInFocusChain();
            while (!(w->focusPolicy() & Qt::TabFocus))
                w = w->nextInFocusChain();
            order << w;
        }
        QCOMPARE(order, (QList<QWidget *>{f.Host, f.Port, f.OK, f.Cancel, f.OpServer, f.OpClient, f.MinimumNotice,
                                          f.Front, f.TitleBar}));
    }

    void everyControlHasAnAccessibleName()
    {
        SessionState state;
        ConnectForm f(state);
        f.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f));
        const QList<QPair<QWidget *, QString>> expected = {
            {f.Handle, "名前"},          {f.Host, "ホスト"},       {f.Port, "ポート"},
            {f.TitleBar, "タイトル"},    {f.OK, "OK"},             {f.Cancel, "キャンセル"},
            {f.OpServer, "サーバ"},      {f.OpClient, "クライアント"}, {f.MinimumNotice, "最小化通知"},
            {f.Front, "常に最前面に表示"},
        };
        for (const auto &[widget, name] : expected) {
            QAccessibleInterface *a = QAccessible::queryAccessibleInterface(widget);
            QVERIFY(a);
            QCOMPARE(a->text(QAccessible::Name), name);
        }
        // A screen reader names the dialog as one, with its title.
        QAccessibleInterface *dialog = QAccessible::queryAccessibleInterface(&f);
        QCOMPARE(dialog->role(), QAccessible::Dialog);
        QCOMPARE(dialog->text(QAccessible::Name), QStringLiteral("接続"));
    }

    void roleSwitchingOverwritesHost()
    {
        Form f;
        f.form->OpClient->click();
        QVERIFY(f.form->Host->isEnabled());
        QCOMPARE(f.form->Host->text(), QStringLiteral("127.0.0.1"));
        f.form->Host->setText(QStringLiteral("10.0.0.9"));
        f.form->OpServer->click();
        QVERIFY(!f.form->Host->isEnabled());
        QCOMPARE(f.form->Host->text(), QStringLiteral("自分のパソコン"));
        f.form->OpClient->click();
        QCOMPARE(f.form->Host->text(), QStringLiteral("127.0.0.1"));
    }

    void onlyTheFirstFailedCheckIsReported()
    {
        Form f;
        f.form->Port->clear();
        f.form->OK->click();
        QCOMPARE(f.errors, QStringList({"ニックネームを入力して下さい！"}));

        f.errors.clear();
        f.form->Handle->setText(QStringLiteral("taro"));
        f.form->OK->click();
        QCOMPARE(f.errors, QStringList({"ポートを入力して下さい！\r\n不具合がなければ、既定値にして下さい"}));
        QVERIFY(f.form->Port->text().isEmpty());

        f.errors.clear();
        f.form->OpClient->click();
        f.form->Port->setText(QStringLiteral("9898"));
        f.form->Host->clear();
        f.form->OK->click();
        QCOMPARE(f.errors, QStringList({"接続先を入力して下さい！"}));
        QVERIFY(!f.chat);
        QCOMPARE(f.state.settings.HandleName, QString());
    }

    void theRealErrorBoxIsCriticalAndModal()
    {
        SessionState state;
        ConnectForm f(state);
        f.show();
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        QTimer::singleShot(0, [&] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            QVERIFY(box);
            title = box->windowTitle();
            text = box->text();
            icon = box->icon();
            QCOMPARE(box->buttons().size(), 1);
            box->accept();
        });
        f.OK_Click();
        QCOMPARE(title, QStringLiteral("入力エラー"));
        QCOMPARE(text, QStringLiteral("ニックネームを入力して下さい！"));
        QCOMPARE(icon, QMessageBox::Critical);
        QVERIFY(f.isVisible());
    }

    void enterAndEscapePressNoButton()
    {
        Form f;
        f.form->show();
        QVERIFY(QTest::qWaitForWindowExposed(f.form));
        f.form->Handle->setText(QStringLiteral("taro"));
        QTest::keyClick(f.form->Handle, Qt::Key_Return);
        QTest::keyClick(f.form->OK, Qt::Key_Return);
        QTest::keyClick(f.form->Handle, Qt::Key_Escape);
        QVERIFY(!f.chat);
        QVERIFY(f.form->isVisible());
        QVERIFY(!f.form->OK->isDefault() && !f.form->OK->autoDefault());
    }

    void okStoresServerSettingsAndOpensTheChatWindow()
    {
        Form f;
        f.form->Handle->setText(QStringLiteral(" a_b "));
        f.form->Port->setText(QStringLiteral("0"));
        f.form->Front->setChecked(true);
        f.form->TitleBar->setText(QStringLiteral("部屋"));
        f.form->OK->click();
        QVERIFY(f.errors.isEmpty());
        const SessionSettings &s = f.state.settings;
        QCOMPARE(s.HandleName, QStringLiteral(" a_b "));
        QCOMPARE(s.PortText, QStringLiteral("0"));
        QCOMPARE(s.HostText, QString());
        QCOMPARE(s.ServerMode, true);
        QCOMPARE(s.AlwaysOnTop, true);
        QCOMPARE(s.NotifyMinimize, false);
        QCOMPARE(s.TitleText, QStringLiteral("部屋"));
        QVERIFY(f.chat);
        QVERIFY(f.chat->isVisible());
        QVERIFY(f.dialogOpenWhenAccepted); // the chat window opens, then the dialog closes
        QTRY_VERIFY(!f.guard); // the dialog closes itself
    }

    void okStoresClientSettings()
    {
        Form f;
        f.form->OpClient->click();
        f.form->Handle->setText(QStringLiteral("hanako"));
        f.form->Host->setText(QStringLiteral("127.0.0.1"));
        f.form->Port->setText(QStringLiteral("abc"));
        f.form->MinimumNotice->setChecked(true);
        f.form->OK->click();
        const SessionSettings &s = f.state.settings;
        QCOMPARE(s.ServerMode, false);
        QCOMPARE(s.HostText, QStringLiteral("127.0.0.1"));
        QCOMPARE(s.PortText, QStringLiteral("abc"));
        QCOMPARE(s.NotifyMinimize, true);
        QCOMPARE(s.AlwaysOnTop, false);
        QCOMPARE(s.TitleText, QString());
        QVERIFY(f.chat);
        QCOMPARE(f.chat->windowTitle(), QString());
    }

    void cancelOpensNothing()
    {
        Form f;
        f.form->Handle->setText(QStringLiteral("taro"));
        f.form->Cancel->click();
        QTRY_VERIFY(!f.guard);
        QCOMPARE(f.state.settings.HandleName, QString());
        QVERIFY(!f.chat);
    }
};

QTEST_MAIN(TestConnectForm)
#include "tst_connectform.moc"
