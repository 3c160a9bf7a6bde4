// SPDX-License-Identifier: MIT
#pragma once

#include "session/sessionstate.h"

#include <QWidget>

#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The connection dialog shown at start: role, nickname, the hub's address, port,
// the chat window's caption and two options. OK checks the fields, stores the settings
// once, reports accepted() (the program opens the chat window then) and closes the
// dialog; Cancel, or closing the dialog, closes it without a word, which ends the
// program.
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

    // The controls, named as the chat's own texts name them.
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

signals:
    // OK with every check passed: the settings are stored. The dialog closes after this.
    void accepted();

private:
    void createControls();
    void nameFieldsForScreenReaders();
    void connectControls();
    void initialiseHost();
    void inputError(const QString &text);

    SessionState &m_state;
    ErrorBox m_errorBox;
};
