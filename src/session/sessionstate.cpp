// SPDX-License-Identifier: MIT
#include "sessionstate.h"

std::optional<quint16> SessionSettings::port() const
{
    QString t = PortText.trimmed(); // also drops ideographic spaces
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
