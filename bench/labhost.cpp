// SPDX-License-Identifier: MIT
// Lab host for the LAN laboratory (scripts/lanlab.sh): the real chat windows, offscreen,
// driven by commands on stdin, with every line they log printed on stdout, classified.
//
//   lanchat-labhost hub PORT                          the hub's window, nickname "hub"
//   lanchat-labhost client HOST PORT NAME [NAME...]   one client window per nickname
//
// Records on stdout, one per line, flushed each:
//   NAME WHOLE SENDER LEN TRY   a lab line that arrived exactly as it was typed
//   NAME BAD TEXT               a line that starts like a lab line but is not one (cut)
//   NAME NOTE TEXT              the program's own notices ("*****", "接続中...", accepts)
//   NAME OTHER TEXT             anything else, e.g. the rest of a cut message as a raw line
//   - BUSYDONE N                the busy period is over; N lines were sent
//   - HOLDS N                   on quitting: N held messages of this host's windows were
//                               delivered because nothing more came (time-outs)
// (fields separated by tabs; tabs and line breaks inside TEXT are written as \t, \n, \r).
//
// Commands on stdin, tab-separated, one a line:
//   say NAME LEN TRY                    window NAME types labLine(NAME, LEN, TRY) and presses Enter
//   busy SECONDS INTERVAL_MS MINLEN MAXLEN  every window sends lab lines of random length
//   quit                                closes the windows (as does the end of stdin)
// A tool for the laboratory, not part of the program, which keeps no command line.
#include "net/messagejoiner.h"
#include "session/sessionstate.h"
#include "startup.h"
#include "ui/chatwindow.h"

#include <QApplication>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// Lab lines are filled from this phrase: Japanese, so that one character takes three
// bytes of UTF-8 and a long line spans many TCP segments, and without "_", which would
// end a message on the wire.
const QString Phrase = QStringLiteral("日本語の長い行が途中で切れずに届くかを確かめています。");
constexpr qsizetype ShownChars = 120; // of a line that is not a whole lab line

// The line "sender >> L<length>T<attempt>:…", exactly `length` characters in all (only
// the head when that is longer already). The typed text is what follows "sender >> ".
QString labLine(const QString &sender, int length, int attempt)
{
    QString line = sender + QStringLiteral(" >> L%1T%2:").arg(length).arg(attempt);
    line.reserve(length);
    for (qsizetype i = 0; line.size() < length; ++i)
        line += Phrase.at(i % Phrase.size());
    return line;
}

QString escaped(QString text)
{
    return text.replace(u'\t', QStringLiteral("\\t")).replace(u'\n', QStringLiteral("\\n")).replace(u'\r', QStringLiteral("\\r"));
}

// What a logged line is, as the record's fields after the window's name.
QString classify(const QString &line)
{
    static const QRegularExpression head(QStringLiteral("^(\\S+) >> L([0-9]+)T([0-9]+):"));
    static const QRegularExpression accepted(QStringLiteral("^[0-9]+人目の接続を受けつけました$"));
    const QRegularExpressionMatch m = head.match(line);
    if (m.hasMatch()) {
        bool lengthRead = false;
        bool attemptRead = false;
        const int length = m.captured(2).toInt(&lengthRead);
        const int attempt = m.captured(3).toInt(&attemptRead);
        // The length is compared first, so that a damaged number never makes a huge line.
        if (lengthRead && attemptRead && line.size() == length && line == labLine(m.captured(1), length, attempt))
            return QStringLiteral("WHOLE\t%1\t%2\t%3").arg(m.captured(1)).arg(length).arg(attempt);
        return QStringLiteral("BAD\t") + escaped(line.left(ShownChars));
    }
    if (line.startsWith(QStringLiteral("*****")) || line == QStringLiteral("接続中...") || accepted.match(line).hasMatch())
        return QStringLiteral("NOTE\t") + escaped(line);
    return QStringLiteral("OTHER\t") + escaped(line.left(ShownChars));
}

void printRecord(const QString &name, const QString &fields)
{
    const QByteArray out = (name + u'\t' + fields + u'\n').toUtf8();
    std::fwrite(out.constData(), 1, size_t(out.size()), stdout);
    std::fflush(stdout);
}

int signalPipe[2];
void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

// One chat window with its own session, as one copy of the program would run it.
struct LabWindow
{
    std::unique_ptr<SessionState> state = std::make_unique<SessionState>();
    std::unique_ptr<ChatWindow> window;
    QTimer busyTimer;
    int busyTries = 0;

    QString name() const { return state->settings.HandleName; }
};

class Lab : public QObject
{
public:
    void open(const SessionSettings &settings);
    void listenToStdin();
    void quit();

private:
    void printAdded(const LabWindow &w, int first, int last);
    void readStdin();
    void command(const QStringList &fields);
    bool say(LabWindow &w, int length, int attempt);
    void startBusy(int seconds, int intervalMs, int minLength, int maxLength);
    void busyTick(LabWindow &w);
    void endBusy();
    LabWindow *find(const QString &name);

    std::vector<std::unique_ptr<LabWindow>> m_windows;
    std::unique_ptr<QSocketNotifier> m_stdin;
    QByteArray m_input; // the part of a command line read so far
    bool m_quitting = false;

    QTimer m_busyEnd;
    bool m_busy = false;
    int m_busyInterval = 0;
    int m_busyMin = 0;
    int m_busyMax = 0;
    qint64 m_busySent = 0;
};

// The window is watched before its load step, so that its very first lines are printed.
void Lab::open(const SessionSettings &settings)
{
    auto w = std::make_unique<LabWindow>();
    w->state->settings = settings;
    LabWindow *raw = w.get();
    connect(&w->state->RecieveList, &QAbstractItemModel::rowsInserted, this,
            [this, raw](const QModelIndex &, int first, int last) { printAdded(*raw, first, last); });
    w->busyTimer.setSingleShot(true);
    connect(&w->busyTimer, &QTimer::timeout, this, [this, raw] { busyTick(*raw); });
    w->window = std::make_unique<ChatWindow>(*w->state);
    m_windows.push_back(std::move(w));
    raw->window->loadAndShow();
}

void Lab::printAdded(const LabWindow &w, int first, int last)
{
    const LogModel &log = w.state->RecieveList;
    for (int row = first; row <= last; ++row)
        printRecord(w.name(), classify(log.data(log.index(row), Qt::DisplayRole).toString()));
}

void Lab::listenToStdin()
{
    ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
    m_stdin = std::make_unique<QSocketNotifier>(0, QSocketNotifier::Read);
    connect(m_stdin.get(), &QSocketNotifier::activated, this, &Lab::readStdin);
}

// Reads what is there; whole lines are run as commands, a partial one waits for its rest.
// At the end of stdin the commands read before it still run, then the lab quits.
void Lab::readStdin()
{
    char buffer[4096];
    bool ended = false;
    for (;;) {
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n > 0) {
            m_input.append(buffer, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        ended = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
        break;
    }
    qsizetype end;
    while (!m_quitting && (end = m_input.indexOf('\n')) >= 0) {
        const QString line = QString::fromUtf8(m_input.left(end)).trimmed();
        m_input.remove(0, end + 1);
        if (!line.isEmpty())
            command(line.split(u'\t'));
    }
    if (ended)
        quit();
}

void Lab::command(const QStringList &f)
{
    if (f[0] == QStringLiteral("quit") && f.size() == 1) {
        quit();
    } else if (f[0] == QStringLiteral("say") && f.size() == 4) {
        LabWindow *w = find(f[1]);
        if (!w)
            std::fprintf(stderr, "labhost: no window named %s here\n", qPrintable(f[1]));
        else if (!say(*w, f[2].toInt(), f[3].toInt()))
            std::fprintf(stderr, "labhost: %s could not send its line\n", qPrintable(f[1]));
    } else if (f[0] == QStringLiteral("busy") && f.size() == 5) {
        startBusy(f[1].toInt(), f[2].toInt(), f[3].toInt(), f[4].toInt());
    } else {
        std::fprintf(stderr, "labhost: unknown command: %s\n", qPrintable(f.join(u' ')));
    }
}

// Types the text into the entry line and presses Enter, as a person would. The window
// clears its entry line only when it handed the line on.
bool Lab::say(LabWindow &w, int length, int attempt)
{
    const QString line = labLine(w.name(), length, attempt);
    const QString typed = line.mid(w.name().size() + 4); // after "name >> "
    QLineEdit *entry = w.window->tSend();
    entry->setText(typed);
    w.window->sendTypedLine();
    return entry->text().isEmpty();
}

// Every window starts at a random moment within the first interval, so that the windows
// do not send in step.
void Lab::startBusy(int seconds, int intervalMs, int minLength, int maxLength)
{
    m_busy = true;
    m_busyInterval = std::max(intervalMs, 1);
    m_busyMin = minLength;
    m_busyMax = std::max(minLength, maxLength);
    m_busySent = 0;
    for (const auto &w : m_windows)
        w->busyTimer.start(QRandomGenerator::global()->bounded(m_busyInterval));
    m_busyEnd.setSingleShot(true);
    disconnect(&m_busyEnd, nullptr, this, nullptr);
    connect(&m_busyEnd, &QTimer::timeout, this, &Lab::endBusy);
    m_busyEnd.start(seconds * 1000);
}

void Lab::busyTick(LabWindow &w)
{
    if (!m_busy)
        return;
    const int length = m_busyMin + int(QRandomGenerator::global()->bounded(m_busyMax - m_busyMin + 1));
    if (say(w, length, ++w.busyTries))
        ++m_busySent;
    if (m_busy) // a yield inside the send may have ended the period
        w.busyTimer.start(m_busyInterval);
}

void Lab::endBusy()
{
    m_busy = false;
    for (const auto &w : m_windows)
        w->busyTimer.stop();
    printRecord(QStringLiteral("-"), QStringLiteral("BUSYDONE\t%1").arg(m_busySent));
}

LabWindow *Lab::find(const QString &name)
{
    for (const auto &w : m_windows) {
        if (w->name() == name)
            return w.get();
    }
    return nullptr;
}

// Closing a window closes its sockets; the windows themselves go after the event loop.
void Lab::quit()
{
    if (m_quitting)
        return;
    m_quitting = true;
    m_busy = false;
    if (m_stdin)
        m_stdin->setEnabled(false);
    for (const auto &w : m_windows) {
        w->busyTimer.stop();
        w->window->close();
    }
    printRecord(QStringLiteral("-"), QStringLiteral("HOLDS\t%1").arg(MessageJoiner::timeOuts()));
    QCoreApplication::quit();
}

int usage(const char *program)
{
    std::fprintf(stderr, "usage: %s hub PORT\n       %s client HOST PORT NAME [NAME...]\n", program, program);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    chooseEventDispatcher();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const bool hub = args.size() == 3 && args[1] == QStringLiteral("hub");
    const bool client = args.size() >= 5 && args[1] == QStringLiteral("client");
    if (!hub && !client)
        return usage(argv[0]);
    app.setQuitOnLastWindowClosed(false); // the lab quits on its own command

    Lab lab;
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe);
    QSocketNotifier notifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &lab, &Lab::quit);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);

    if (hub) {
        lab.open({.HandleName = QStringLiteral("hub"), .PortText = args[2], .ServerMode = true,
                  .TitleText = QStringLiteral("lanchat lab hub")});
    } else {
        for (qsizetype i = 4; i < args.size(); ++i)
            lab.open({.HandleName = args[i], .PortText = args[3], .HostText = args[2], .TitleText = args[i]});
    }
    lab.listenToStdin();
    return app.exec();
}
