// An agent whose link goes half-open once it has its ID: from then on it reads nothing (so it
// answers no ping) and sends nothing, while its TCP connection stays up, as behind a NAT entry or
// a balancer that dropped it without a word.
#pragma once

#include "rawwebsocket.h"

#include <QString>

class SilentAgent
{
public:
    /// Connects to 127.0.0.1:`port` as an agent presenting `token` and waits for its ID; false
    /// when none came.
    bool open(quint16 port, const QString &token = QString());
    /// From now on nothing is read or sent.
    void goSilent() { raw.stopReading(); }

    RawWebSocket raw;
    QString id;
    QString token;
};
