// SPDX-License-Identifier: MIT
#include "clientendpoint.h"

#include "net/socketarray.h"
#include "net/wireformat.h"
#include "session/texts.h"

using namespace WireFormat;

ClientEndpoint::ClientEndpoint(SessionState &state, SocketArray &sockets)
    : m_state(state)
    , m_sockets(sockets)
    , m_log(state.RecieveList)
    , m_names(state.NameList)
{
}

void ClientEndpoint::open()
{
    const SessionSettings &s = m_state.settings;
    m_sockets.close(0);
    const std::optional<quint16> port = s.port();
    if (!port) {
        logConnectionFailure(m_log, Texts::badPort(s.PortText));
        return;
    }
    m_log.AppendLog(Texts::connecting());
    m_sockets.connectToHost(0, s.HostText, *port);
}

void ClientEndpoint::closeAll()
{
    m_sockets.close(0);
}

bool ClientEndpoint::sendChatLine(const QString &line)
{
    if (!m_sockets.isConnected(0)) {
        // The typed text stays in the entry line to be sent later.
        m_log.AppendLog(Texts::notConnected());
        return false;
    }
    m_sockets.sendData(0, chatMessage(line));
    return true;
}

void ClientEndpoint::sendNotice(bool minimized)
{
    if (!m_sockets.isConnected(0))
        return; // nobody to tell
    const int own = m_state.OwnSlot;
    // Before the name list has come, the user's own nickname stands in.
    const QString name = own >= 0 && own < m_names.count() ? m_names.item(own) : m_state.settings.HandleName;
    m_sockets.sendData(0, chatMessage(minimized ? minimizedNotice(name, false) : restoredNotice(name)));
}

void ClientEndpoint::Connect(int index)
{
    m_sockets.sendData(index, slotRequest());
    m_sockets.sendData(index, connectAnnouncement(m_state.settings.HandleName));
    m_log.AppendLog(Texts::connected());
}

void ClientEndpoint::Close(int)
{
    m_log.AppendLog(Texts::serverDown());
}

void ClientEndpoint::Error(int, const QString &description)
{
    logConnectionFailure(m_log, description);
    m_sockets.close(0);
}

void ClientEndpoint::DataArrival(int index)
{
    if (index != 0)
        return;
    const QString chunk = m_sockets.getData(0);
    if (chunk.isEmpty())
        return;
    if (isRawLine(chunk)) {
        m_log.AppendLog(chunk);
        return;
    }
    forEachSegment(chunk, [this](const Segment &s) { return onSegment(s); });
}

// One segment from the hub; returns whether to go on with the chunk.
bool ClientEndpoint::onSegment(const Segment &s)
{
    const bool known = s.tag == NameL || s.tag == SdSck || s.tag == SendM || s.tag == Clsck;
    if (!known) {
        // An unknown tag takes the rest of the chunk with it, shown as one line.
        m_log.AppendLog(s.whole.toString());
        return false;
    }
    if (s.payload.isEmpty())
        return false;
    if (s.tag == NameL) {
        if (m_names.count() < MaxNames)
            m_names.add(s.value.toString());
    } else if (s.tag == SdSck) {
        m_state.OwnSlot = readSlotNumber(s.value);
    } else if (s.tag == SendM) {
        m_log.AppendLog(s.value.toString());
    } else {
        m_state.PeerName = s.value.toString();
        m_log.AppendLog(Texts::departed(m_state.PeerName));
        blankName(m_state.PeerName);
    }
    return true;
}

void ClientEndpoint::blankName(const QString &name)
{
    const int n = m_names.count();
    for (int k = 0; k < n; ++k) {
        if (m_names.item(k) == name)
            m_names.setItem(k, QStringLiteral(" "));
    }
}

qint16 ClientEndpoint::readSlotNumber(QStringView value)
{
    qsizetype i = 0;
    while (i < value.size() && (value[i] == u' ' || value[i] == u'\t'))
        ++i;
    qint64 whole = 0;
    bool digits = false;
    for (; i < value.size() && value[i].isDigit() && value[i].unicode() < 128; ++i) {
        digits = true;
        whole = whole * 10 + (value[i].unicode() - u'0');
        if (whole > 32767)
            return 0; // beyond what a slot number can be
    }
    if (i < value.size() && value[i] == u'.') {
        ++i;
        const qsizetype fracStart = i;
        while (i < value.size() && value[i].unicode() >= u'0' && value[i].unicode() <= u'9')
            ++i;
        const QStringView frac = value.sliced(fracStart, i - fracStart);
        if (!digits && frac.isEmpty())
            return 0;
        if (!frac.isEmpty()) {
            const int first = frac[0].unicode() - u'0';
            bool beyondHalf = false;
            for (qsizetype k = 1; k < frac.size(); ++k)
                beyondHalf = beyondHalf || frac[k] != u'0';
            if (first > 5 || (first == 5 && beyondHalf) || (first == 5 && (whole % 2) == 1))
                ++whole;
        }
        digits = true;
    }
    if (!digits || whole > 32767)
        return 0;
    return qint16(whole);
}
