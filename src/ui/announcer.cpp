// SPDX-License-Identifier: MIT
#include "announcer.h"

#include "accessibleroles.h"
#include "session/logmodel.h"

#include <QAccessible>
#include <QWidget>

#include <algorithm>

Announcer::Announcer(QWidget *window)
    : QObject(window)
    , m_window(window)
{
    installAccessibleRoles();
    m_clock.start();
    m_creditTimer.setSingleShot(true);
    connect(&m_creditTimer, &QTimer::timeout, this, &Announcer::speakHeld);
    m_reapTimer.setSingleShot(true);
    connect(&m_reapTimer, &QTimer::timeout, this, &Announcer::reap);
}

Announcer::~Announcer()
{
    for (const auto &[widget, until] : m_shown)
        delete widget.data();
}

QString Announcer::spokenText(const QString &line)
{
    const QString text = LogModel::accessibleText(line);
    if (text.size() <= MaxSpokenChars)
        return text;
    return text.left(MaxSpokenChars) + QStringLiteral("…（全%1文字）").arg(text.size());
}

void Announcer::linesShown(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    m_held += lines;
    if (m_held.size() > MaxSeparate)
        m_held.remove(0, m_held.size() - MaxSeparate);
    m_heldCount += int(lines.size());
    if (!m_creditTimer.isActive())
        speakHeld();
}

// Speaks the waiting lines if a credit is at hand; otherwise waits for the next one.
void Announcer::speakHeld()
{
    const qint64 now = m_clock.elapsed();
    m_credit = std::min(m_credit + (now - m_creditAt), qint64(Burst) * RefillMs);
    m_creditAt = now;
    if (m_heldCount == 0)
        return;
    const qint64 credits = m_credit / RefillMs;
    if (credits == 0) {
        m_creditTimer.start(int(RefillMs - m_credit));
        return;
    }
    if (m_heldCount <= MaxSeparate && m_heldCount <= credits) {
        for (const QString &line : std::as_const(m_held))
            say(spokenText(line));
        m_credit -= qint64(m_heldCount) * RefillMs;
    } else {
        QString text;
        if (m_heldCount <= MaxSeparate) {
            QStringList spoken;
            for (const QString &line : std::as_const(m_held))
                spoken << spokenText(line);
            text = spoken.join(u'\n');
        } else {
            text = QStringLiteral("新着%1行。最後の行：").arg(m_heldCount) + spokenText(m_held.last());
        }
        say(text);
        m_credit -= RefillMs;
    }
    m_held.clear();
    m_heldCount = 0;
}

void Announcer::say(const QString &text)
{
    // Nobody listens: no widget to make.
    if (!QAccessible::isActive())
        return;
    auto *announcement = new QWidget(m_window);
    announcement->setObjectName(QLatin1String(AnnouncementName)); // before anything asks for its role
    announcement->setFocusPolicy(Qt::NoFocus);
    announcement->setAccessibleName(text);
    QAccessibleEvent shown(announcement, QAccessible::ObjectShow);
    QAccessible::updateAccessibility(&shown);
    m_shown.emplace_back(announcement, m_clock.elapsed() + KeepMs);
    if (!m_reapTimer.isActive())
        m_reapTimer.start(KeepMs);
}

// Destroys the announcements whose time is up: the screen reader has read them long ago.
void Announcer::reap()
{
    const qint64 now = m_clock.elapsed();
    while (!m_shown.empty() && m_shown.front().second <= now) {
        delete m_shown.front().first.data();
        m_shown.pop_front();
    }
    if (!m_shown.empty())
        m_reapTimer.start(int(m_shown.front().second - now));
}
