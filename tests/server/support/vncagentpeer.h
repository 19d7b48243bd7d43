// An agent whose VNC server asks for a password: VNC authentication with a DES challenge and
// response as TigerVNC does it, then every byte echoed. For tests of password guessing over
// real connections, against one server or several nodes.
#pragma once

#include "agentpeer.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

class VncAgentPeer : public QObject
{
public:
    /// The password its VNC server accepts.
    static constexpr const char *kPassword = "4271";

    /// `types`: the security types its VNC server offers, count first (TigerVNC's "TLSVnc,VncAuth"
    /// by default).
    explicit VncAgentPeer(QByteArray types = QByteArray("\x02\x13\x02", 3));

    /// Connects to `url` (a server's or node's agent URL) and waits for its ID.
    bool online(const QUrl &url);
    /// Comes back as the real agent does after a session: same token, same ID; to `url` when
    /// given (another node), else to the last one.
    bool reconnect(const QUrl &url = QUrl());
    /// Waits until the server closed its connection (it does after every session), then
    /// reconnect(url).
    bool returnAfterSession(const QUrl &url = QUrl());

    /// The 16 bytes that answer `challenge` for `password` (RFC 6143 section 7.2.2, the key's bits
    /// taken least significant first, as des::setKey expects).
    static QByteArray response(const QByteArray &challenge, const QByteArray &password);

    AgentPeer peer;
    QByteArray types;
    /// Every byte the VNC server was given in the current session.
    QByteArray received;
    int logins = 0;

private:
    enum class State { Idle, Version, Choice, Response, Echo };

    void onPayload(const QByteArray &bytes);

    State state = State::Idle;
    QByteArray pending;
    QByteArray challenge;
};
