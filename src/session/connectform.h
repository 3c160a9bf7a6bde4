#pragma once

#include "sessionstate.h"

#include "ui/main.h"

#include <QPointer>
#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The connection dialog shown at start: role, nickname, the hub's address, port,
// the chat window's caption and two options. OK stores the settings once and opens
// the chat window; Cancel, or closing the dialog, ends the program.
class ConnectForm : public QWidget
{
    Q_OBJECT

public:
    explicit ConnectForm(SessionState &state, QWidget *parent = nullptr);

    // Shows an input error box; replaceable so that tests can read it without a modal loop.
    using ErrorBox = std::function<void(QWidget *parent, const QString &text)>;
    void setErrorBox(ErrorBox box);

    void OpServer_Click();
    void OpClient_Click();
    void OK_Click();
    void Cancel_Click();

    // The chat window opened by OK, while it exists.
    Main *chatWindow() const { return m_chatWindow; }

    QLineEdit *Handle;
    QLineEdit *Host;
    QLineEdit *Port;
    QPushButton *OK;
    QPushButton *Cancel;
    QRadioButton *OpServer;
    QRadioButton *OpClient;
    QCheckBox *MinimumNotice;
    QCheckBox *Front;
    QLabel *Text1;
    QLabel *Text2;
    QLabel *Text3;
    QLabel *Text4;
    QLineEdit *TitleBar;

private:
    void Form_Load();
    void inputError(const QString &text);

    SessionState &m_state;
    ErrorBox m_errorBox;
    QPointer<Main> m_chatWindow;
};
