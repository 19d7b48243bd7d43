// A session kept alive beside an attack: its round trips say whether the server still serves
// everyone else.
#pragma once

#include "rawwebsocket.h"

#include <QByteArray>
#include <QString>

#include <vector>

/// An agent that plays a VNC server (VNC authentication, any response accepted) and then echoes
/// every byte, and a supporter that logs in through it. Both are raw peers that send each frame
/// in one piece: Qt's QWebSocket writes a frame's header and payload separately, and without
/// TCP_NODELAY (which it does not offer) Nagle's algorithm then adds tens of milliseconds to
/// each round trip.
class LiveSession
{
public:
    /// Connects both to the server at 127.0.0.1:`port`, each upgrade request carrying
    /// `extraHeaders` (CRLF-terminated lines, e.g. an X-Forwarded-For of their own), and logs in.
    /// False when any step fails.
    bool open(quint16 port, const QByteArray &extraHeaders = {});

    /// `count` round trips of a small message, supporter → agent → supporter: their times in
    /// microseconds, sorted; empty when one did not come back within 30 s.
    std::vector<double> roundTrips(int count);

    RawWebSocket agent;
    RawWebSocket supporter;
    QString id;

private:
    void onAgentFrame(int opcode, const QByteArray &payload);

    QByteArray fromSupporter;
    int agentStep = 0;
};

/// The value below which `share` (0..1) of the sorted `values` lie.
double percentile(const std::vector<double> &values, double share);

/// The resident memory of process `pid` in kB (VmRSS), or -1.
long residentKb(qint64 pid);
